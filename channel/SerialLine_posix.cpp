#include "SerialLine_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "SerialLine.h"
#include "channel/TermiosSpeeds.h"
#include "platform/DynLib.h"
#include "platform/Tick.h"

namespace {

int Fd(intptr_t h) {
    return static_cast<int>(h);
}

}  // namespace

void MakeLineTermios(struct termios* tio, const CLineSettings& s) {
    const int parity = s.m_nParity, handshake = s.m_nHandshake;
    const speed_t speed = termios_speed::SpeedOf(line::BaudOf(s.m_nBaudRate));
    ::cfmakeraw(tio);
    ::cfsetispeed(tio, speed);
    ::cfsetospeed(tio, speed);
    tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio->c_cflag |= (s.m_nDataBits ? CS8 : CS7) | CLOCAL | CREAD;
    if (parity == 1) tio->c_cflag |= PARENB;
    if (parity == 2) tio->c_cflag |= PARENB | PARODD;
    if (s.m_nStopBits) tio->c_cflag |= CSTOPB;
    if (handshake & 1) tio->c_cflag |= CRTSCTS;
    tio->c_iflag &= ~(IXON | IXOFF | IXANY);
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

std::string CSerialLine::DeviceName(int port) {
    const std::string name = "com" + std::to_string(port + 1);
    // a host that places its own links (the gateway service) names their folder
    if (const char* folder = std::getenv("KRANDOLIX_DOSDEVICES")) {
        std::string link = std::string(folder) + "/" + name;
        if (*folder && ::access(link.c_str(), F_OK) == 0) return link;
    }
    std::string link = std::string(OwnModuleFolder()) + "dosdevices/" + name;
    if (::access(link.c_str(), F_OK) == 0) return link;
    return "/dev/ttyS" + std::to_string(port);
}

int CSerialLine::Open(const CLineSettings& settings) {
    Close();
    m_bOpen = 0;
    if (!settings.IsValid()) return 0;

    int fd =
        ::open(DeviceName(settings.m_nPort).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    // this line alone: flock holds for root too, TIOCEXCL keeps others from opening it
    struct termios tio;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return 0;
    }
    ::ioctl(fd, TIOCEXCL);

    MakeLineTermios(&tio, settings);
    ::tcsetattr(fd, TCSANOW, &tio);
    // DTR and RTS held off (a pseudo-terminal has no such lines: ignored there)
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (!(settings.m_nHandshake & 3)) ::ioctl(fd, TIOCMBIC, &lines);

    m_hPort = fd;
    m_bOpen = 1;
    return 1;
}

void CSerialLine::Close() {
    m_nReadAheadPos = m_nReadAheadLen = 0;
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
    m_nReadAheadPos = m_nReadAheadLen = 0;  // what was read ahead is purged too
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

int CSerialLine::PendingInput() {
    if (!m_bOpen) return 0;
    int queued = 0;
    if (::ioctl(Fd(m_hPort), FIONREAD, &queued) != 0) queued = 0;
    return queued + (m_nReadAheadLen - m_nReadAheadPos);
}

int CSerialLine::ReadByte(char* out, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = readOk;
    if (!m_bOpen) {
        *status = readNotOpen;
        return 0;
    }
    if (m_nReadAheadPos < m_nReadAheadLen) {
        *out = static_cast<char>(m_readAhead[m_nReadAheadPos++]);
        return 1;
    }
    int fd = Fd(m_hPort);
    uint32_t start = GetTickMs();
    bool look = !m_bAwaitReply || m_nReadTimeout == 0;
    m_bAwaitReply = false;
    for (;; look = true) {
        // raw mode with VMIN 0: a read without data returns 0 at once; one
        // read takes every byte already there (a whole reply, mostly)
        ssize_t n = look ? ::read(fd, m_readAhead, sizeof m_readAhead) : 0;
        if (n > 0) {
            m_nReadAheadLen = static_cast<int>(n);
            m_nReadAheadPos = 1;
            *out = static_cast<char>(m_readAhead[0]);
            return 1;
        }
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
        // A device that hung up (an adapter pulled out, the far end of a
        // pseudo-terminal closed, TIOCVHANGUP) stays "readable" with nothing
        // to read: waiting on it would spin until the time-out. A byte that
        // came before the hang-up is still taken; then the read fails.
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            if (::read(fd, out, 1) == 1) return 1;  // (read ahead is empty here)
            *status = readFailed;
            return 0;
        }
    }
}
