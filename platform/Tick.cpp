#include "Tick.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

namespace {
// Now as "YYYY-MM-DD<between>hh:mm:ss.mmm<after>", in local time or UTC.
std::string TimeStamp(bool utc, char between, const char* after) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    struct tm t {};
#if defined(_WIN32)
    if (utc)
        gmtime_s(&t, &seconds);
    else
        localtime_s(&t, &seconds);
#else
    if (utc)
        gmtime_r(&seconds, &t);
    else
        localtime_r(&seconds, &t);
#endif
    char b[64];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d%c%02d:%02d:%02d.%03ld%s", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, between, t.tm_hour, t.tm_min, t.tm_sec, ms, after);
    return b;
}
}  // namespace

std::string LocalTimeStamp() {
    return TimeStamp(false, ' ', "");
}

std::string UtcTimeStamp() {
    return TimeStamp(true, 'T', "Z");
}

std::string GetEnvironmentText(const char* name) {
#if defined(_WIN32)
    char buffer[1024];
    DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (n == 0) return "";
    if (n < sizeof buffer) return std::string(buffer, n);
    std::string big(n, '\0');
    n = GetEnvironmentVariableA(name, &big[0], n);
    big.resize(n);
    return big;
#else
    const char* v = std::getenv(name);
    return v ? v : "";
#endif
}

namespace tick_seam {
void SetOffset(uint32_t offset) {
    g_offset = offset;
}
void SetSleepHook(SleepHook hook) {
    g_sleepHook = hook;
}
}  // namespace tick_seam
