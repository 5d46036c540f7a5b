#include "SerialLine_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "SerialLine.h"
#include "platform/DynLib.h"
#include "platform/Tick.h"

namespace {

const speed_t kSpeeds[9] = {B150, B300, B600, B1200, B2400, B4800, B9600, B19200, B38400};

int Fd(intptr_t h) {
    return static_cast<int>(h);
}

}  // namespace

void MakeLineTermios(struct termios* tio, int baudRate, int parity, int dataBits, int stopBits,
                     int handshake) {
    ::cfmakeraw(tio);
    ::cfsetispeed(tio, kSpeeds[baudRate]);
    ::cfsetospeed(tio, kSpeeds[baudRate]);
    tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio->c_cflag |= (dataBits ? CS8 : CS7) | CLOCAL | CREAD;
    if (parity == 1) tio->c_cflag |= PARENB;
    if (parity == 2) tio->c_cflag |= PARENB | PARODD;
    if (stopBits) tio->c_cflag |= CSTOPB;
    if (handshake & 1) tio->c_cflag |= CRTSCTS;
    tio->c_iflag &= ~(IXON | IXOFF | IXANY);
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

std::string CSerialLine::DeviceName(int port) {
    std::string link = std::string(OwnModuleFolder()) + "dosdevices/com" + std::to_string(port + 1);
    if (::access(link.c_str(), F_OK) == 0) return link;
    return "/dev/ttyS" + std::to_string(port);
}

int CSerialLine::Open(int port, int baudRate, int parity, int dataBits, int stopBits,
                      int handshake) {
    Close();
    m_bOpen = 0;
    if (!SettingsValid(port, baudRate, parity)) return 0;

    int fd = ::open(DeviceName(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    // this line alone: flock holds for root too, TIOCEXCL keeps others from opening it
    struct termios tio;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return 0;
    }
    ::ioctl(fd, TIOCEXCL);

    MakeLineTermios(&tio, baudRate, parity, dataBits, stopBits, handshake);
    ::tcsetattr(fd, TCSANOW, &tio);
    // DTR and RTS held off (a pseudo-terminal has no such lines: ignored there)
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (!(handshake & 3)) ::ioctl(fd, TIOCMBIC, &lines);

    m_hPort = fd;
    m_bOpen = 1;
    return 1;
}

void CSerialLine::Close() {
    if (m_hPort != -1) {
        // the exclusive mode belongs to the device, not to this descriptor: give it back
        ::ioctl(Fd(m_hPort), TIOCNXCL);
        ::close(Fd(m_hPort));
        m_hPort = -1;
    }
    m_bOpen = 0;
}

int CSerialLine::Write(const char* bytes, int count) {
    if (!m_bOpen) return 0;
    if (count < 0) count = static_cast<int>(std::strlen(bytes));
    int fd = Fd(m_hPort);
    ::tcflush(fd, TCIOFLUSH);
    uint32_t start = GetTickMs();
    int done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, bytes + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return 0;
        uint32_t elapsed = GetTickMs() - start;
        if (elapsed >= m_nWriteTimeout) return 0;
        struct pollfd p = {fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(m_nWriteTimeout - elapsed));
    }
    m_bAwaitReply = true;
    return 1;
}

int CSerialLine::ReadByte(char* out, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = readOk;
    if (!m_bOpen) {
        *status = readNotOpen;
        return 0;
    }
    int fd = Fd(m_hPort);
    uint32_t start = GetTickMs();
    bool look = !m_bAwaitReply || m_nReadTimeout == 0;
    m_bAwaitReply = false;
    for (;; look = true) {
        // raw mode with VMIN 0: a read without data returns 0 at once
        ssize_t n = look ? ::read(fd, out, 1) : 0;
        if (n == 1) return 1;
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            *status = readFailed;
            return 0;
        }
        uint32_t now = GetTickMs();
        uint32_t elapsed = now - start;
        if (elapsed >= m_nReadTimeout || now < start) {
            *status = readTimeout;
            return 0;
        }
        // waits in slices of at most a second, as one read of the Windows line does
        uint32_t wait = m_nReadTimeout - elapsed;
        struct pollfd p = {fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(wait < 1000 ? wait : 1000));
        if (r < 0 && errno != EINTR) {
            *status = readResultFailed;
            return 0;
        }
        // a hung-up device never becomes readable; waiting on it would spin
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLIN)) {
            *status = readFailed;
            return 0;
        }
    }
}
