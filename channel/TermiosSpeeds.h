// The rates a line runs at, as a terminal's settings name them (POSIX): the
// one table for the serial line and for mcsim, which answers only at its own.
#pragma once

#include <termios.h>

namespace termios_speed {

struct Rate {
    long baud;
    speed_t speed;
};
inline constexpr Rate kRates[] = {{150, B150},   {300, B300},   {600, B600},
                                  {1200, B1200}, {2400, B2400}, {4800, B4800},
                                  {9600, B9600}, {19200, B19200}, {38400, B38400}};

// B0 for a rate no line runs at.
inline speed_t SpeedOf(long baud) {
    for (const Rate& r : kRates)
        if (r.baud == baud) return r.speed;
    return B0;
}

// 0 for a speed that is none of the lines'.
inline long BaudOf(speed_t speed) {
    for (const Rate& r : kRates)
        if (r.speed == speed) return r.baud;
    return 0;
}

}  // namespace termios_speed
