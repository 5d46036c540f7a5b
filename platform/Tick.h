// The millisecond tick count (32 bits, wrapping) and the one way the scan code
// sleeps. Tests move the tick next to its wrap and may observe or shorten sleeps.
#pragma once

#include <cstdint>
#include <string>

uint32_t GetTickMs();
void SleepMs(uint32_t ms);

// Every wall-clock time stamp the programs write comes from here, made from
// 64-bit seconds on every target (the year 2038 is an ordinary year).
// The local wall-clock time as "YYYY-MM-DD hh:mm:ss.mmm" (for trace files).
std::string LocalTimeStamp();
// The time in UTC as ISO 8601, "YYYY-MM-DDThh:mm:ss.mmmZ".
std::string UtcTimeStamp();
// The local time as ISO 8601 with its offset, "YYYY-MM-DDThh:mm:ss.mmm+09:00".
std::string LocalIsoTimeStamp();
// The stamps above for a given time (seconds since 1970 UTC, milliseconds).
std::string UtcTimeStampAt(int64_t seconds, int ms);
std::string LocalIsoTimeStampAt(int64_t seconds, int ms);
// An environment variable of the process as it is now ("" when unset; on
// Windows read from the process, not the C library's copy made at start-up).
std::string GetEnvironmentText(const char* name);

namespace tick_seam {
// Added to every tick read, so a test can start the count just below 2^32.
void SetOffset(uint32_t offset);
// When set, called instead of sleeping; tests use it to watch the pacing.
using SleepHook = void (*)(uint32_t ms);
void SetSleepHook(SleepHook hook);
}  // namespace tick_seam
