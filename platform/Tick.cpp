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

// A wall-clock time stamp is made from 64-bit seconds everywhere. Windows
// has its 64-bit calls whatever time_t is; where the C library's time_t
// would be 32 bits (Debian's armhf) the build asks for the 64-bit one, and a
// build that did not get it stops here rather than writing 1901 in 2038.
// (Not std::chrono::system_clock::now(): on those systems the C++ library's
// copy of it still reads the 32-bit clock.)
#if defined(_WIN32)
using WallSeconds = __time64_t;
#else
using WallSeconds = std::time_t;
static_assert(sizeof(std::time_t) >= 8, "time_t must have 64 bits (build with _TIME_BITS=64)");
#endif

namespace {

struct WallTime {
    int64_t seconds;  // since 1970-01-01 UTC
    int ms;
};

WallTime WallNow() {
#if defined(_WIN32)
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);  // 100 ns since 1601
    const uint64_t since1601 = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const uint64_t ms = since1601 / 10000 - 11644473600000ULL;
    return {static_cast<int64_t>(ms / 1000), static_cast<int>(ms % 1000)};
#else
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000)};
#endif
}

// The fields of a calendar time as seconds since 1970, as if they were UTC
// (the days from the civil date, proleptic Gregorian).
int64_t SecondsOf(const struct tm& t) {
    int64_t y = t.tm_year + 1900;
    const int64_t m = t.tm_mon + 1;
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.tm_mday - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

// What follows the time: nothing, "Z" (UTC), or the local offset "+09:00".
enum class Zone { none, utc, offset };

// t as "YYYY-MM-DD<between>hh:mm:ss.mmm<zone>", in UTC for Zone::utc, else
// in local time.
std::string TimeStamp(WallTime w, Zone zoneForm, char between) {
    const bool utc = zoneForm == Zone::utc;
    const WallSeconds seconds = static_cast<WallSeconds>(w.seconds);
    struct tm t {};
#if defined(_WIN32)
    if (utc)
        _gmtime64_s(&t, &seconds);
    else
        _localtime64_s(&t, &seconds);
#else
    if (utc)
        gmtime_r(&seconds, &t);
    else
        localtime_r(&seconds, &t);
#endif
    std::string zone = utc ? "Z" : "";
    if (zoneForm == Zone::offset) {
        // the offset is what the local fields say less the time itself
        const int64_t offset = SecondsOf(t) - w.seconds;
        const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
        char z[16];
        std::snprintf(z, sizeof z, "%c%02d:%02d", offset < 0 ? '-' : '+',
                      static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
        zone = z;
    }
    char b[64];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d%s", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, between, t.tm_hour, t.tm_min, t.tm_sec, w.ms,
                  zone.c_str());
    return b;
}
}  // namespace

std::string LocalTimeStamp() {
    return TimeStamp(WallNow(), Zone::none, ' ');
}

std::string UtcTimeStamp() {
    return TimeStamp(WallNow(), Zone::utc, 'T');
}

std::string LocalIsoTimeStamp() {
    return TimeStamp(WallNow(), Zone::offset, 'T');
}

std::string UtcTimeStampAt(int64_t seconds, int ms) {
    return TimeStamp({seconds, ms}, Zone::utc, 'T');
}

std::string LocalIsoTimeStampAt(int64_t seconds, int ms) {
    return TimeStamp({seconds, ms}, Zone::offset, 'T');
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
