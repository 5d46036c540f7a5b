#include <windows.h>

#include <new>

#include "Thread.h"

namespace {
struct Start {
    ThreadProc fn;
    void* arg;
};
DWORD WINAPI Trampoline(LPVOID p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.fn(s.arg);
    return 0;
}
}  // namespace

bool StartDetachedThread(ThreadProc fn, void* arg) {
    Start* s = new (std::nothrow) Start{fn, arg};
    if (!s) return false;
    HANDLE h = CreateThread(nullptr, 0, &Trampoline, s, 0, nullptr);
    if (!h) {
        delete s;
        return false;
    }
    CloseHandle(h);
    return true;
}
