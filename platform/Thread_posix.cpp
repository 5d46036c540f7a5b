#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "Thread.h"

namespace {
struct Start {
    ThreadProc fn;
    void* arg;
    pthread_t thread;
};
void* Trampoline(void* p) {
    Start* s = static_cast<Start*>(p);
    s->fn(s->arg);
    return nullptr;
}
}  // namespace

ThreadHandle StartThread(ThreadProc fn, void* arg, const char* name) {
    Start* s = new (std::nothrow) Start{fn, arg, {}};
    if (!s) return nullptr;
    if (pthread_create(&s->thread, nullptr, &Trampoline, s) != 0) {
        delete s;
        return nullptr;
    }
#ifdef __linux__
    if (name) pthread_setname_np(s->thread, name);
#else
    (void)name;
#endif
    return s;
}

void JoinThread(ThreadHandle thread) {
    if (!thread) return;
    Start* s = static_cast<Start*>(thread);
    pthread_join(s->thread, nullptr);
    delete s;
}

// a dlclose holds no lock an ending thread needs: join as always
void JoinThreadAtUnload(ThreadHandle thread) {
    JoinThread(thread);
}

uint64_t CurrentOsThreadId() {
    thread_local const uint64_t id = static_cast<uint64_t>(::syscall(SYS_gettid));
    return id;
}
