// mcsim: motor controllers on a pseudo-terminal, for commissioning and
// testing without a plant. It answers the eight-byte frames for any number of
// stations, checks what it receives as strictly as a controller does, can be
// told to misbehave, and is controlled by commands on standard input or on a
// loopback TCP port.
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

#include "SimFrame.h"
#include "krandolix_version.h"

namespace {

const char kUsage[] =
    "usage: mcsim [--link PATH] [--control-port PORT] [--trace] [--baud N] STATION...\n"
    "  STATION   NUMBER[:STATUS[:RULE]]  number 0-255, status byte (0x.. or decimal),\n"
    "            RULE what a control for output n does: none, set (input n on), toggle\n"
    "  --link PATH          also place a symbolic link to the pseudo-terminal at PATH\n"
    "  --control-port PORT  accept commands on 127.0.0.1:PORT (0: any free port)\n"
    "  --trace              print every frame in and out with a time stamp\n"
    "  --baud N             the controllers' speed: frames sent while the line is set to\n"
    "                       another speed are not understood (not answered)\n"
    "Commands (stdin or TCP, one per line; each answers one line, ok ... or error ...):\n"
    "  add N [STATUS] [RULE]   remove N   reset   status N VALUE   rule N none|set|toggle\n"
    "  fault N silent|badcheck|garbage|wrongstation|badthengood|restart on|off\n"
    "  fault N delay MS        fault N split MS        fault N clear\n"
    "  fault N hold on|off     (replies kept back until off: a reply comes exactly when told)\n"
    "  get N                   counters   trace on|off   hangup   baud N|any   quit\n";

enum class Rule { none, set, toggle };

struct Station {
    uint8_t status = 0;
    Rule rule = Rule::none;
    bool silent = false, badcheck = false, garbage = false, wrongstation = false;
    bool badthengood = false, restart = false, hold = false;
    int delayMs = 0, splitMs = 0;
    unsigned long polls = 0, controls = 0, replies = 0;
};

struct Pending {
    int64_t due;
    std::string bytes;
    std::string note;
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

std::string Stamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long>(tv.tv_usec / 1000));
    return b;
}

bool ParseNumber(const std::string& text, long low, long high, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (*end || errno || v < low || v > high) return false;
    *out = v;
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

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

// The speed a terminal's settings name, in baud (0 when not one of ours).
long BaudOfTermios(const struct termios& tio) {
    static const struct {
        speed_t speed;
        long baud;
    } kSpeeds[] = {{B150, 150},     {B300, 300},     {B600, 600},    {B1200, 1200}, {B2400, 2400},
                   {B4800, 4800},   {B9600, 9600},   {B19200, 19200}, {B38400, 38400}};
    for (const auto& s : kSpeeds)
        if (cfgetispeed(&tio) == s.speed) return s.baud;
    return 0;
}

class Simulator {
public:
    bool trace = false;
    long baud = 0;  // 0: any speed
    std::map<int, Station> stations;

    bool OpenPty(const std::string& link);
    bool Listen(int port);
    int Run();
    std::string Command(const std::string& line);

    ~Simulator() {
        if (!m_link.empty()) ::unlink(m_link.c_str());
    }
    const std::string& PtyPath() const { return m_ptyPath; }
    int ControlPort() const { return m_controlPort; }

private:
    struct CommandEntry;
    static const CommandEntry kCommands[];
    using Words = std::vector<std::string>;
    std::string CmdQuit(const Words& w, Station* s);
    std::string CmdReset(const Words& w, Station* s);
    std::string CmdCounters(const Words& w, Station* s);
    std::string CmdTrace(const Words& w, Station* s);
    std::string CmdHangup(const Words& w, Station* s);
    std::string CmdBaud(const Words& w, Station* s);
    bool LineAtOurSpeed();
    std::string CmdAdd(const Words& w, Station* s);
    std::string CmdRemove(const Words& w, Station* s);
    std::string CmdGet(const Words& w, Station* s);
    std::string CmdStatus(const Words& w, Station* s);
    std::string CmdRule(const Words& w, Station* s);
    std::string CmdFault(const Words& w, Station* s);

    void OnBytes(const char* data, size_t n);
    void Answer(int number, uint8_t data);
    void Schedule(int64_t due, const std::string& bytes, const std::string& note);
    void Flush();
    // Sends now what a station's replies held back.
    void Release(int number);
    void Trace(const std::string& line) {
        if (trace) std::printf("%s %s\n", Stamp().c_str(), line.c_str()), std::fflush(stdout);
    }

    int m_master = -1, m_slave = -1, m_listen = -1, m_controlPort = -1;
    std::string m_ptyPath, m_link;
    sim::FrameReader m_reader;
    std::deque<Pending> m_out;
    std::map<int, std::vector<Pending>> m_held;  // replies kept back, by station
    unsigned long m_frames = 0, m_bad = 0, m_skippedReported = 0;
    bool m_quit = false;
    struct Client {
        int fd;
        std::string in;
    };
    std::vector<Client> m_clients;
};

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
            Trace("<- " + Hex(m_reader.Raw()) + "  BAD FRAME: " + m_reader.Reason());
        } else if (e == sim::FrameReader::frame) {
            ++m_frames;
            char what[64];
            if (m_reader.Data() == 0) {
                std::snprintf(what, sizeof what, "poll %d", m_reader.Station());
            } else {
                std::snprintf(what, sizeof what, "control %d data 0x%02X", m_reader.Station(),
                              m_reader.Data());
            }
            Trace("<- " + Hex(m_reader.Raw()) + "  " + what);
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
        Trace("-> " + Hex(p.bytes) + "  " + p.note);
    }
}

// ---- control commands ----

namespace {

using Words = std::vector<std::string>;

// The faults a station can be given: on/off switches and times in ms.
struct FlagFault {
    const char* name;
    bool Station::*flag;
};
const FlagFault kFlagFaults[] = {
    {"silent", &Station::silent},           {"badcheck", &Station::badcheck},
    {"garbage", &Station::garbage},         {"wrongstation", &Station::wrongstation},
    {"badthengood", &Station::badthengood}, {"restart", &Station::restart},
    {"hold", &Station::hold},
};
struct TimeFault {
    const char* name;
    int Station::*ms;
};
const TimeFault kTimeFaults[] = {{"delay", &Station::delayMs}, {"split", &Station::splitMs}};

}  // namespace

// Each command: its word, how many words it takes in all (the command
// included), whether its first argument names a station that must exist,
// and what does it. A command whose word count does not fit is answered by
// its usage, or as unknown when it has none.
struct Simulator::CommandEntry {
    const char* name;
    size_t minWords, maxWords;
    bool station;
    const char* usage;
    std::string (Simulator::*run)(const Words& w, Station* s);
};

const Simulator::CommandEntry Simulator::kCommands[] = {
    {"quit", 1, 99, false, nullptr, &Simulator::CmdQuit},
    {"reset", 1, 99, false, nullptr, &Simulator::CmdReset},
    {"counters", 1, 99, false, nullptr, &Simulator::CmdCounters},
    {"trace", 2, 2, false, nullptr, &Simulator::CmdTrace},
    {"hangup", 1, 99, false, nullptr, &Simulator::CmdHangup},
    {"baud", 2, 2, false, "error usage: baud N|any", &Simulator::CmdBaud},
    {"add", 2, 99, false, "error usage: add N [STATUS] [none|set|toggle]", &Simulator::CmdAdd},
    {"remove", 2, 99, true, nullptr, &Simulator::CmdRemove},
    {"get", 2, 99, true, nullptr, &Simulator::CmdGet},
    {"status", 3, 3, true, nullptr, &Simulator::CmdStatus},
    {"rule", 3, 3, true, nullptr, &Simulator::CmdRule},
    {"fault", 3, 99, true, nullptr, &Simulator::CmdFault},
};

std::string Simulator::Command(const std::string& line) {
    std::istringstream in(line);
    Words w;
    for (std::string t; in >> t;) w.push_back(t);
    if (w.empty()) return "";
    for (const CommandEntry& c : kCommands) {
        if (w[0] != c.name) continue;
        Station* s = nullptr;
        if (c.station) {
            long n = -1;
            auto it = w.size() > 1 && ParseNumber(w[1], 0, 255, &n)
                          ? stations.find(static_cast<int>(n))
                          : stations.end();
            if (it == stations.end()) return "error no such station";
            s = &it->second;
        }
        if (w.size() < c.minWords || w.size() > c.maxWords)
            return c.usage ? c.usage : "error unknown command";
        return (this->*c.run)(w, s);
    }
    return "error unknown command";
}

std::string Simulator::CmdQuit(const Words&, Station*) {
    m_quit = true;
    return "ok bye";
}

std::string Simulator::CmdReset(const Words&, Station*) {
    stations.clear();
    m_out.clear();
    m_held.clear();
    m_frames = m_bad = 0;
    return "ok";
}

std::string Simulator::CmdCounters(const Words&, Station*) {
    return "ok frames=" + std::to_string(m_frames) + " bad=" + std::to_string(m_bad) +
           " skipped=" + std::to_string(m_reader.Skipped());
}

std::string Simulator::CmdTrace(const Words& w, Station*) {
    trace = w[1] == "on";
    return "ok";
}

std::string Simulator::CmdHangup(const Words&, Station*) {
    // the line goes dead: whoever has the device open sees it hang up
    ::close(m_slave);
    ::close(m_master);
    m_out.clear();
    m_slave = m_master = -1;
    std::string link = m_link;
    m_link.clear();
    return OpenPty(link) ? "ok pty " + m_ptyPath : "error cannot reopen";
}

std::string Simulator::CmdBaud(const Words& w, Station*) {
    long v = 0;
    if (w[1] == "any") {
        baud = 0;
    } else if (ParseNumber(w[1], 1, 10000000, &v)) {
        baud = v;
    } else {
        return "error usage: baud N|any";
    }
    return "ok";
}

// A pseudo-terminal carries bytes whatever its speed; a controller on a real
// line set to another speed would see only noise. The driver's side sets the
// speed, and both ends of the pair share the settings.
bool Simulator::LineAtOurSpeed() {
    if (baud == 0) return true;
    struct termios tio;
    long line = ::tcgetattr(m_slave, &tio) == 0 ? BaudOfTermios(tio) : 0;
    if (line == baud) return true;
    Trace("   (line at " + std::to_string(line) + " baud, stations at " + std::to_string(baud) +
          ": not understood)");
    return false;
}

std::string Simulator::CmdAdd(const Words& w, Station*) {
    long n = -1, status = 0;
    Rule rule = Rule::none;
    if (!ParseNumber(w[1], 0, 255, &n) || (w.size() > 2 && !ParseNumber(w[2], 0, 255, &status)) ||
        (w.size() > 3 && !ParseRule(w[3], &rule))) {
        return "error usage: add N [STATUS] [none|set|toggle]";
    }
    Station s;
    s.status = static_cast<uint8_t>(status);
    s.rule = rule;
    stations[static_cast<int>(n)] = s;
    return "ok";
}

std::string Simulator::CmdRemove(const Words& w, Station*) {
    stations.erase(std::stoi(w[1], nullptr, 0));
    return "ok";
}

std::string Simulator::CmdGet(const Words&, Station* s) {
    char b[160];
    std::snprintf(b, sizeof b, "ok status=0x%02X polls=%lu controls=%lu replies=%lu", s->status,
                  s->polls, s->controls, s->replies);
    return b;
}

std::string Simulator::CmdStatus(const Words& w, Station* s) {
    long v = 0;
    if (!ParseNumber(w[2], 0, 255, &v)) return "error unknown command";
    s->status = static_cast<uint8_t>(v);
    return "ok";
}

std::string Simulator::CmdRule(const Words& w, Station* s) {
    return ParseRule(w[2], &s->rule) ? "ok" : "error unknown command";
}

std::string Simulator::CmdFault(const Words& w, Station* s) {
    const std::string& f = w[2];
    int number = -1;
    for (const auto& [n, station] : stations)
        if (&station == s) number = n;
    if (f == "hold" && w.size() == 4 && w[3] == "off") Release(number);
    if (f == "clear") {
        Release(number);
        // the faults go; the status, the rule and the counters stay
        Station fresh;
        fresh.status = s->status;
        fresh.rule = s->rule;
        fresh.polls = s->polls;
        fresh.controls = s->controls;
        fresh.replies = s->replies;
        *s = fresh;
        return "ok";
    }
    if (w.size() != 4) return "error usage: fault N NAME on|off|MS";
    for (const FlagFault& ff : kFlagFaults) {
        if (f != ff.name) continue;
        if (w[3] != "on" && w[3] != "off") return "error on or off";
        s->*ff.flag = w[3] == "on";
        return "ok";
    }
    for (const TimeFault& tf : kTimeFaults) {
        long v = 0;
        if (f != tf.name) continue;
        if (!ParseNumber(w[3], 0, 600000, &v)) return "error unknown fault";
        s->*tf.ms = static_cast<int>(v);
        return "ok";
    }
    return w[3] == "on" || w[3] == "off" ? "error unknown fault" : "error on or off";
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

}  // namespace

int main(int argc, char** argv) {
    Simulator sim;
    std::string link;
    int controlPort = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        long v;
        if (a == "--trace") {
            sim.trace = true;
        } else if (a == "--baud" && i + 1 < argc && ParseNumber(argv[i + 1], 1, 10000000, &v)) {
            sim.baud = v;
            ++i;
        } else if (a == "--link" && i + 1 < argc) {
            link = argv[++i];
        } else if (a == "--control-port" && i + 1 < argc &&
                   ParseNumber(argv[i + 1], 0, 65535, &v)) {
            controlPort = static_cast<int>(v);
            ++i;
        } else if (a == "--version") {
            std::printf("mcsim (Krandolix) %s\n", KRANDOLIX_VERSION);
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!a.empty() && a[0] != '-') {
            std::string words = a;
            for (char& c : words)
                if (c == ':') c = ' ';
            std::string reply = sim.Command("add " + words);
            if (reply != "ok") {
                std::fprintf(stderr, "mcsim: bad station %s\n%s", a.c_str(), kUsage);
                return 64;
            }
        } else {
            std::fputs(kUsage, stderr);
            return 64;
        }
    }
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    if (!sim.OpenPty(link)) {
        std::fprintf(stderr, "mcsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("pty %s\n", sim.PtyPath().c_str());
    if (controlPort >= 0) {
        if (!sim.Listen(controlPort)) {
            std::fprintf(stderr, "mcsim: cannot listen on 127.0.0.1:%d\n", controlPort);
            return 1;
        }
        std::printf("control %d\n", sim.ControlPort());
    }
    std::fflush(stdout);
    return sim.Run();
}
