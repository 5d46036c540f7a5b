#include "Tick.h"

#include <atomic>
#include <chrono>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace {
std::atomic<uint32_t> g_offset{0};
std::atomic<tick_seam::SleepHook> g_sleepHook{nullptr};
}  // namespace

uint32_t GetTickMs() {
#if defined(_WIN32)
    uint32_t raw = GetTickCount();
#else
    // the monotonic clock in milliseconds, cut to 32 bits like GetTickCount
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint32_t raw = static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                         static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
#endif
    return raw + g_offset.load(std::memory_order_relaxed);
}

void SleepMs(uint32_t ms) {
    tick_seam::SleepHook hook = g_sleepHook.load();
    if (hook) {
        hook(ms);
        return;
    }
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace tick_seam {
void SetOffset(uint32_t offset) {
    g_offset = offset;
}
void SetSleepHook(SleepHook hook) {
    g_sleepHook = hook;
}
}  // namespace tick_seam
