// The millisecond tick count (32 bits, wrapping) and the one way the scan code
// sleeps. Tests move the tick next to its wrap and may observe or shorten sleeps.
#pragma once

#include <cstdint>

uint32_t GetTickMs();
void SleepMs(uint32_t ms);

namespace tick_seam {
// Added to every tick read, so a test can start the count just below 2^32.
void SetOffset(uint32_t offset);
// When set, called instead of sleeping; tests use it to watch the pacing.
using SleepHook = void (*)(uint32_t ms);
void SetSleepHook(SleepHook hook);
}  // namespace tick_seam
