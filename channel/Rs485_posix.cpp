#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "channel/Rs485.h"

namespace {
std::atomic<rs485_seam::Ioctl> g_ioctl{nullptr};
}  // namespace

void rs485_seam::SetIoctl(Ioctl hook) {
    g_ioctl = hook;
}

std::string Rs485SettingsProblem(const Rs485Settings& s) {
    if (s.rtsOnSend == s.rtsAfterSend)
        return "rts_on_send and rts_after_send must differ (RTS is one level while sending and "
               "the other after)";
    for (int ms : {s.delayBeforeSendMs, s.delayAfterSendMs})
        if (ms < 0 || ms > kRs485MaxDelayMs)
            return "a delay is from 0 to " + std::to_string(kRs485MaxDelayMs) + " ms";
    return "";
}

void BuildRs485Request(const Rs485Settings& s, serial_rs485* request) {
    std::memset(request, 0, sizeof *request);
    request->flags = SER_RS485_ENABLED | (s.rtsOnSend ? SER_RS485_RTS_ON_SEND : 0u) |
                     (s.rtsAfterSend ? SER_RS485_RTS_AFTER_SEND : 0u);
    request->delay_rts_before_send = static_cast<__u32>(s.delayBeforeSendMs);
    request->delay_rts_after_send = static_cast<__u32>(s.delayAfterSendMs);
}

namespace {

// Opens device and sends it one RS-485 request; false with *error.
bool Ask(const std::string& device, unsigned long request, const char* name, serial_rs485* data,
         std::string* error) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = device + ": cannot open it for its RS-485 mode: " + std::strerror(errno);
        return false;
    }
    const rs485_seam::Ioctl hook = g_ioctl.load();
    const int rc = hook ? hook(fd, request, data) : ::ioctl(fd, request, data);
    const int err = errno;
    ::close(fd);
    if (rc == 0) return true;
    *error = device + ": refuses RS-485 mode (" + name + "): " + std::strerror(err) +
             (err == ENOTTY || err == EINVAL
                  ? " (the device has no RS-485 mode: for a USB adapter that switches by "
                    "itself, or a pseudo-terminal, leave rs485 off)"
                  : "");
    return false;
}

}  // namespace

bool ProbeRs485(const std::string& device, std::string* error) {
    serial_rs485 now;
    std::memset(&now, 0, sizeof now);
    return Ask(device, TIOCGRS485, "TIOCGRS485", &now, error);
}

bool ApplyRs485(const std::string& device, const Rs485Settings& s, std::string* error) {
    if (!s.enabled) return true;
    const std::string problem = Rs485SettingsProblem(s);
    if (!problem.empty()) {
        *error = device + ": " + problem;
        return false;
    }
    serial_rs485 request;
    BuildRs485Request(s, &request);
    return Ask(device, TIOCSRS485, "TIOCSRS485", &request, error);
}
