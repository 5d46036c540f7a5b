// The millisecond tick count (32 bits, wrapping) and the one way the scan code
// sleeps. Tests move the tick next to its wrap and may observe or shorten sleeps.
#pragma once

#include <cstdint>
#include <string>

uint32_t GetTickMs();
void SleepMs(uint32_t ms);

// The local wall-clock time as "YYYY-MM-DD hh:mm:ss.mmm" (for trace files).
std::string LocalTimeStamp();
// The time in UTC as ISO 8601, "YYYY-MM-DDThh:mm:ss.mmmZ".
std::string UtcTimeStamp();
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
