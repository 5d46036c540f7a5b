// A UART's RS-485 mode on Linux: for boards whose transceiver's direction
// follows RTS, the kernel drives RTS around each frame it sends once the
// device is in that mode (TIOCSRS485). A device keeps the mode until it is
// changed, so it is set before the port is opened (and again before a lost
// line is reopened); the line's own code is the same either way.
#pragma once

#include <string>

struct serial_rs485;

struct Rs485Settings {
    bool enabled = false;       // false: the device's mode is left as it is
    bool rtsOnSend = true;      // RTS while sending
    bool rtsAfterSend = false;  // RTS after sending (the opposite level)
    int delayBeforeSendMs = 0;  // RTS set this long before the first byte
    int delayAfterSendMs = 0;   // and kept this long after the last
    bool operator==(const Rs485Settings& o) const {
        return enabled == o.enabled && rtsOnSend == o.rtsOnSend && rtsAfterSend == o.rtsAfterSend &&
               delayBeforeSendMs == o.delayBeforeSendMs && delayAfterSendMs == o.delayAfterSendMs;
    }
    bool operator!=(const Rs485Settings& o) const { return !(*this == o); }
};

// The kernel takes delays up to this and shortens longer ones without a word.
constexpr int kRs485MaxDelayMs = 100;

// Why these settings cannot be asked for ("" when they can): the kernel
// would quietly change them (both RTS levels alike, a delay over the limit).
std::string Rs485SettingsProblem(const Rs485Settings& s);

// The request the kernel is sent for these settings.
void BuildRs485Request(const Rs485Settings& s, serial_rs485* request);

// Whether device has an RS-485 mode (reads it with TIOCGRS485, changes
// nothing): false with *error as below.
bool ProbeRs485(const std::string& device, std::string* error);

// Puts device into RS-485 mode with these settings (nothing when they are
// not enabled). false, with *error naming the device, the request and the
// system's reason, when the device refuses it (a pseudo-terminal, a USB
// adapter without the mode: ENOTTY, EINVAL).
bool ApplyRs485(const std::string& device, const Rs485Settings& s, std::string* error);

namespace rs485_seam {
// When set, called instead of the ioctl on the opened device (TIOCSRS485 or
// TIOCGRS485): tests record the request, or answer for a device that has
// the mode.
using Ioctl = int (*)(int fd, unsigned long request, serial_rs485* data);
void SetIoctl(Ioctl hook);
}  // namespace rs485_seam
