// mcsim's line side: the pseudo-terminal, the frames read from it, the
// replies scheduled on it, and the loop that serves the line and the control
// clients.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Simulator.h"
#include "channel/TermiosSpeeds.h"
#include "platform/Numbers.h"
#include "platform/Tick.h"
#include "protocol/FrameText.h"

namespace mcsim {

volatile sig_atomic_t g_stop = 0;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}


// "hh:mm:ss.mmm", local time
std::string Stamp() {
    return LocalTimeStamp().substr(11);
}

bool ParseNumber(const std::string& text, long low, long high, long* out) {
    long long v = 0;
    if (!ParseWholeNumber(text, 0, low, high, &v)) return false;
    *out = static_cast<long>(v);
    return true;
}

bool ParseRule(const std::string& text, Rule* rule) {
    if (text == "none")
        *rule = Rule::none;
    else if (text == "set")
        *rule = Rule::set;
    else if (text == "toggle")
        *rule = Rule::toggle;
    else
        return false;
    return true;
}

long BaudOfTermios(const struct termios& tio) {
    return termios_speed::BaudOf(cfgetispeed(&tio));
}

bool Simulator::OpenPty(const std::string& link) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return false;
    m_ptyPath = ::ptsname(m_master);
    // held open so the pseudo-terminal lives while the driver closes and reopens it
    m_slave = ::open(m_ptyPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) return false;
    struct termios tio;
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(m_ptyPath.c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "mcsim: cannot place the link %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return false;
        }
        m_link = link;
    }
    return true;
}

bool Simulator::Listen(int port) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 8) != 0) {
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_controlPort = ntohs(addr.sin_port);
    return true;
}

void Simulator::Schedule(int64_t due, const std::string& bytes, const std::string& note) {
    // replies leave in order: none overtakes one scheduled before it
    if (!m_out.empty() && m_out.back().due > due) due = m_out.back().due;
    m_out.push_back(Pending{due, bytes, note});
}

void Simulator::Answer(int number, uint8_t data) {
    auto it = stations.find(number);
    if (it == stations.end()) {
        Trace("   (no station " + std::to_string(number) + ": no answer)");
        return;
    }
    Station& s = it->second;
    if (data == 0) {
        ++s.polls;
    } else {
        ++s.controls;
        for (int bit = 0; bit < 8; ++bit) {
            uint8_t mask = static_cast<uint8_t>(1u << bit);
            if (!(data & mask)) continue;
            if (s.rule == Rule::set) s.status |= mask;
            if (s.rule == Rule::toggle) s.status ^= mask;
        }
    }
    if (s.silent) {
        Trace("   (station " + std::to_string(number) + " silent)");
        return;
    }
    int replyNumber = s.wrongstation ? (number + 1) & 0xFF : number;
    std::string reply = sim::BuildFrame(replyNumber, s.status);
    if (s.badcheck) reply[6] = static_cast<char>(reply[6] == 0x30 ? 0x31 : 0x30);
    if (s.garbage) reply = std::string("\x55\xAA\x7E\x30", 4) + reply;
    if (s.restart) reply = reply.substr(0, 3) + reply;  // a frame broken off by a new STX
    if (s.badthengood) {
        std::string bad = reply;
        bad[5] = static_cast<char>(bad[5] == 0x30 ? 0x31 : 0x30);
        reply = bad + reply;
    }
    ++s.replies;
    char note[64];
    std::snprintf(note, sizeof note, "status %d = 0x%02X", number, s.status);
    int64_t due = NowMs() + s.delayMs;
    if (s.hold) {
        Trace("   (station " + std::to_string(number) + ": reply held)");
        m_held[number].push_back(Pending{0, reply, note});
        return;
    }
    if (s.splitMs > 0) {
        size_t third = reply.size() / 3;
        Schedule(due, reply.substr(0, third), std::string(note) + " (1 of 3)");
        Schedule(due + s.splitMs, reply.substr(third, third), "(2 of 3)");
        Schedule(due + 2 * s.splitMs, reply.substr(2 * third), "(3 of 3)");
    } else {
        Schedule(due, reply, note);
    }
}

void Simulator::OnBytes(const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        sim::FrameReader::Event e = m_reader.Feed(static_cast<uint8_t>(data[i]));
        if (m_reader.Skipped() != m_skippedReported) {
            m_skippedReported = m_reader.Skipped();
            if (e != sim::FrameReader::none || i + 1 == n) {
                Trace("<- skipped bytes outside a frame (" + std::to_string(m_skippedReported) +
                      " so far)");
            }
        }
        if (e == sim::FrameReader::badFrame) {
            ++m_bad;
            Trace("<- " + HexBytes(m_reader.Raw()) + "  BAD FRAME: " + m_reader.Reason());
        } else if (e == sim::FrameReader::frame) {
            ++m_frames;
            char what[64];
            if (m_reader.Data() == 0) {
                std::snprintf(what, sizeof what, "poll %d", m_reader.Station());
            } else {
                std::snprintf(what, sizeof what, "control %d data 0x%02X", m_reader.Station(),
                              m_reader.Data());
            }
            Trace("<- " + HexBytes(m_reader.Raw()) + "  " + what);
            if (LineAtOurSpeed()) Answer(m_reader.Station(), m_reader.Data());
        }
    }
}

void Simulator::Release(int number) {
    auto it = m_held.find(number);
    if (it == m_held.end()) return;
    for (const Pending& p : it->second) Schedule(NowMs(), p.bytes, p.note + " (held)");
    m_held.erase(it);
}

void Simulator::Flush() {
    int64_t now = NowMs();
    while (!m_out.empty() && m_out.front().due <= now) {
        Pending p = m_out.front();
        m_out.pop_front();
        ssize_t w = ::write(m_master, p.bytes.data(), p.bytes.size());
        if (w < 0) {
            Trace("-> (write failed: " + std::string(std::strerror(errno)) + ")");
            continue;
        }
        Trace("-> " + HexBytes(p.bytes) + "  " + p.note);
    }
}

int Simulator::Run() {
    bool stdinOpen = true;
    char buf[512];
    std::string stdinLine;
    while (!g_stop && !m_quit) {
        std::vector<pollfd> fds;
        fds.push_back({m_master, POLLIN, 0});
        fds.push_back({stdinOpen ? 0 : -1, POLLIN, 0});
        fds.push_back({m_listen, POLLIN, 0});
        for (const Client& c : m_clients) fds.push_back({c.fd, POLLIN, 0});
        int timeout = -1;
        if (!m_out.empty())
            timeout = static_cast<int>(std::max<int64_t>(0, m_out.front().due - NowMs()));
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) return 1;
        if (fds[0].revents & POLLIN) {
            ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0) OnBytes(buf, static_cast<size_t>(n));
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                stdinOpen = false;
            } else {
                stdinLine.append(buf, static_cast<size_t>(n));
                for (size_t nl; (nl = stdinLine.find('\n')) != std::string::npos;) {
                    std::string reply = Command(stdinLine.substr(0, nl));
                    stdinLine.erase(0, nl + 1);
                    if (!reply.empty()) std::printf("%s\n", reply.c_str()), std::fflush(stdout);
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            int c = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) m_clients.push_back({c, ""});
        }
        for (size_t i = 3; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Client& c = m_clients[i - 3];
            ssize_t n = ::read(c.fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(c.fd);
                c.fd = -1;
                continue;
            }
            c.in.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = c.in.find('\n')) != std::string::npos;) {
                std::string line = c.in.substr(0, nl);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::string reply = Command(line) + "\n";
                c.in.erase(0, nl + 1);
                if (::send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
            }
        }
        std::vector<Client> open;
        for (const Client& c : m_clients)
            if (c.fd >= 0) open.push_back(c);
        m_clients.swap(open);
        Flush();
    }
    for (const Client& c : m_clients) ::close(c.fd);
    return 0;
}

}  // namespace mcsim
