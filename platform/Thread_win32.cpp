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

ThreadHandle StartThread(ThreadProc fn, void* arg, const char*) {
    Start* s = new (std::nothrow) Start{fn, arg};
    if (!s) return nullptr;
    HANDLE h = CreateThread(nullptr, 0, &Trampoline, s, 0, nullptr);
    if (!h) delete s;
    return h;
}

void JoinThread(ThreadHandle thread) {
    if (!thread) return;
    WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread));
}

void JoinThreadAtUnload(ThreadHandle thread) {
    if (!thread) return;
    CloseHandle(static_cast<HANDLE>(thread));
    // the thread has signalled its end; what remains of it in this module is
    // a return or two, then it waits in ExitThread for the loader lock we hold
    Sleep(50);
}

uint64_t CurrentOsThreadId() {
    return GetCurrentThreadId();
}
