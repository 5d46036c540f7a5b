#include "Tick.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
std::atomic<uint32_t> g_offset{0};
std::atomic<tick_seam::SleepHook> g_sleepHook{nullptr};
}  // namespace

uint32_t GetTickMs() {
    // steady_clock is GetTickCount's monotonic source on Windows and
    // CLOCK_MONOTONIC on Linux; only the low 32 bits are the tick.
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return static_cast<uint32_t>(ms) + g_offset.load(std::memory_order_relaxed);
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
void SetOffset(uint32_t offset) { g_offset = offset; }
void SetSleepHook(SleepHook hook) { g_sleepHook = hook; }
}  // namespace tick_seam
