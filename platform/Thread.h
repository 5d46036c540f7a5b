// The channel's worker thread. Whoever stops it waits for the signal the
// thread gives as its last act and then for the thread itself to be gone, so
// that no instruction of this module still runs when the module is unloaded.
#pragma once

#include <cstdint>

using ThreadProc = void (*)(void* arg);
using ThreadHandle = void*;

// The name a channel's scan thread goes by in the system (ps -L, top -H,
// /proc/self/task/N/comm on Linux): a host that runs several channels tells
// their threads from its own by it.
inline constexpr char kScanThreadName[] = "krandolix scan";

// Null when the system could not start a thread. name (Linux: up to 15
// bytes) is the thread's by the time this returns.
ThreadHandle StartThread(ThreadProc fn, void* arg, const char* name = nullptr);
// Waits until the thread has ended and releases its handle.
void JoinThread(ThreadHandle thread);
// The same while the library is being unloaded. Windows holds its loader lock
// then and a thread cannot end until it is released, so there the handle is
// released without waiting and the thread, which has signalled its end, gets
// a moment to leave this module's code.
void JoinThreadAtUnload(ThreadHandle thread);

// The system's number of the calling thread (the kernel's thread id on Linux,
// as /proc/self/task lists it).
uint64_t CurrentOsThreadId();
