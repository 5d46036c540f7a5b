#include <pthread.h>

#include <new>

#include "Thread.h"

namespace {
struct Start {
    ThreadProc fn;
    void* arg;
};
void* Trampoline(void* p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.fn(s.arg);
    return nullptr;
}
}  // namespace

bool StartDetachedThread(ThreadProc fn, void* arg) {
    Start* s = new (std::nothrow) Start{fn, arg};
    if (!s) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &Trampoline, s);
    pthread_attr_destroy(&attr);
    if (rc != 0) delete s;
    return rc == 0;
}
