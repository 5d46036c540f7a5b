// What gateway_bench runs the gateway against: the 36 lines' far ends on
// pseudo-terminals, clients of the web page's event stream, what the MQTT
// subscriber received, and the process's own counts (CPU, memory).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "../scan/ScanBench.h"
#include "protocol/ReplyDecoder.h"
#include "protocol/StationProtocol.h"

using namespace scanbench;

namespace gwbench {

// 36 lines of 4 stations for most sections; each line's far end answers up
// to 8 (the scale section's channels of 8)
constexpr int kChannels = 36, kStations = 4, kMaxStations = 8;

inline int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

inline pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The 36 lines' far ends: every request answered at once with the station's
// status byte as it is now; the moment a changed byte leaves is noted.
class Lines {
public:
    Lines() {
        for (int c = 0; c < kChannels; ++c) m_ptys.push_back(OpenPty());
        for (auto& row : m_status) row.fill(0);
        for (auto& row : m_sent) row.fill(-1);
    }
    const Pty& At(int c) const { return m_ptys[c]; }
    void Start() { m_thread = std::thread(&Lines::Serve, this); }
    void Stop() {
        m_stop = true;
        m_thread.join();
    }
    // The status byte station s of channel c answers with from now on.
    void Set(int c, int s, uint8_t status) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_status[c][s] = status;
    }
    uint8_t Get(int c, int s) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_status[c][s];
    }
    // Counting mode: every reply carries the station's next byte (+1); each
    // start of it begins the stations' histories anew.
    void Count(bool on) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (on)
            for (auto& channel : m_history)
                for (auto& h : channel) h.clear();
        m_count = on;
    }
    // When the first reply with this byte left for station s of channel c.
    double SentAt(int c, int s) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_sentAt[c][s];
    }
    // Requests answered so far, on every line.
    size_t Answers() const { return m_answers; }
    // Every byte each station answered with, in order (counting mode).
    std::vector<uint8_t> History(int c, int s) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_history[c][s];
    }

private:
    void Serve() {
        std::vector<pollfd> fds;
        for (const Pty& p : m_ptys) fds.push_back({p.master, POLLIN, 0});
        std::vector<std::string> in(kChannels);
        while (!m_stop) {
            if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
            for (int c = 0; c < kChannels; ++c) {
                if (!(fds[c].revents & POLLIN)) continue;
                char buf[256];
                ssize_t n = ::read(fds[c].fd, buf, sizeof buf);
                if (n <= 0) continue;
                in[c].append(buf, static_cast<size_t>(n));
                for (size_t stx;
                     (stx = in[c].find('\x02')) != std::string::npos && in[c].size() - stx >= 8;) {
                    int station = ((in[c][stx + 1] - 0x30) << 4 | (in[c][stx + 2] - 0x30)) - 1;
                    in[c].erase(0, stx + 8);
                    if (station < 0 || station >= kMaxStations) continue;
                    Answer(c, station);
                }
            }
        }
    }
    void Answer(int c, int s) {
        uint8_t status;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_count) m_status[c][s] = static_cast<uint8_t>(m_status[c][s] + 1);
            status = m_status[c][s];
            if (status != m_sent[c][s]) {
                m_sent[c][s] = status;
                m_sentAt[c][s] = NowUs();
                if (m_count) m_history[c][s].push_back(status);
            }
        }
        ++m_answers;
        char reply[8];
        CStationProtocol::BuildFrame(s + 1, status, reply);
        (void)!::write(m_ptys[c].master, reply, 8);
    }

    std::vector<Pty> m_ptys;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_count{false};
    std::atomic<size_t> m_answers{0};
    std::mutex m_lock;
    std::array<std::array<uint8_t, kMaxStations>, kChannels> m_status;
    std::array<std::array<int, kMaxStations>, kChannels> m_sent;
    double m_sentAt[kChannels][kMaxStations] = {};
    std::vector<uint8_t> m_history[kChannels][kMaxStations];
};

// A socket connected to this machine's port, or the benchmark fails saying why.
inline int ConnectLoopback(int port, const char* why) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Fail(why);
    return fd;
}

// What sees a channel's values besides the MQTT subscriber: per
// "channel/tag", how many changes arrived and when the last did.
class ValueWatcher {
public:
    virtual ~ValueWatcher() = default;
    // (count, time of the last) for a channel's tag
    std::pair<size_t, double> Seen(const std::string& key) {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_seen.find(key);
        return it == m_seen.end() ? std::make_pair(size_t(0), 0.0) : it->second;
    }

protected:
    // One more change of `key`, arrived at `when` (m_lock held).
    void Note(const std::string& key, double when) {
        auto& seen = m_seen[key];
        ++seen.first;
        seen.second = when;
    }
    std::mutex m_lock;
    std::map<std::string, std::pair<size_t, double>> m_seen;
};

// A client of the web page's event stream on a plain socket: keeps, per
// "channel/tag", how many value events arrived and when the last did.
class EventClient : public ValueWatcher {
public:
    explicit EventClient(int port) {
        m_fd = ConnectLoopback(port, "cannot connect to the web page's port");
        const char request[] = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        (void)!::write(m_fd, request, sizeof request - 1);
        m_thread = std::thread([this] { Read(); });
    }
    ~EventClient() {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    bool Open() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_open;
    }

private:
    void Read() {
        std::string buffer;
        char chunk[65536];
        for (;;) {
            ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n <= 0) return;
            const double now = NowUs();
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t nl; (nl = buffer.find('\n')) != std::string::npos;
                 buffer.erase(0, nl + 1)) {
                const std::string line = buffer.substr(0, nl);
                std::lock_guard<std::mutex> hold(m_lock);
                if (line.compare(0, 6, "retry:") == 0) m_open = true;
                if (line.compare(0, 6, "data: ") != 0) continue;
                // {"channel":"Line3","tag":"P2/I0","value":1}
                const size_t c = line.find("\"channel\":\""), t = line.find("\"tag\":\"");
                if (c == std::string::npos || t == std::string::npos) continue;
                const std::string channel = line.substr(c + 11, line.find('"', c + 11) - c - 11);
                const std::string tag = line.substr(t + 7, line.find('"', t + 7) - t - 7);
                Note(channel + "/" + tag, now);
            }
        }
    }
    int m_fd = -1;
    std::thread m_thread;
    bool m_open = false;
};

// What the subscriber received: per topic, the values in order with the time.
struct Received {
    std::mutex lock;
    std::map<std::string, std::vector<std::pair<char, double>>> byTopic;
    size_t count = 0;
};
inline Received g_received;

inline void OnMessage(mosquitto*, void*, const mosquitto_message* m) {
    double now = NowUs();
    std::lock_guard<std::mutex> hold(g_received.lock);
    g_received.byTopic[m->topic].push_back(
        {m->payloadlen > 0 ? static_cast<const char*>(m->payload)[0] : '?', now});
    ++g_received.count;
}

// CPU seconds a thread of a process has run so far (the scheduler's count in
// nanoseconds: the clock ticks of /proc/PID/stat are too coarse for threads
// that run a few microseconds at a time).
inline double ThreadCpuSeconds(pid_t pid, pid_t thread) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) +
                     "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

inline long RssKbOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return 0;
}

inline double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; fields >> f && i <= 15; ++i)
        if (i >= 14) ticks += std::stod(f);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// GET on the page: the milliseconds the answer took.
inline double GetMs(int port, const std::string& path) {
    const double t0 = NowUs();
    const int fd = ConnectLoopback(port, "the page is not there");
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    (void)!::write(fd, request.data(), request.size());
    char buffer[65536];
    std::string answer;
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    if (answer.compare(0, 12, "HTTP/1.1 200") != 0)
        Fail("the history was not answered: " + answer.substr(0, 80));
    return (NowUs() - t0) / 1000;
}

// The milliseconds a log line says after `marker` ("... the longest 3.2 ms"), -1 before it is
// there.
inline double LoggedMs(const std::string& log, const std::string& marker) {
    std::ifstream in(log);
    double ms = -1;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(marker);
        if (at != std::string::npos) ms = std::atof(line.c_str() + at + marker.size());
    }
    return ms;
}

}  // namespace gwbench
