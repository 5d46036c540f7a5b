// drvgw's own cost, end to end on this machine: a mosquitto broker, 36
// channels of 4 stations on pseudo-terminals answered by this program, drvgw
// run as a service would run it, and an MQTT subscriber in this program.
//   1. latency: a station's status bit changes; from the reply that carries
//      it leaving this program to the subscriber receiving the value (an upper
//      bound of the gateway's own: it includes the driver reading the reply);
//   2. a burst of 5000 value changes as fast as the lines carry them: none
//      lost, none out of order on its topic;
//   3. a Modbus TCP client reading one station's discrete inputs: round trip
//      and requests a second;
//   4. the web page's event stream: from the changing reply to a client of
//      /api/events receiving the value, with 20 clients holding the stream,
//      the MQTT subscriber's latency meanwhile, and the gateway's memory;
//   5. the gateway's CPU and memory with the 36 channels idle.
// Run: make bench (or build/native/bin/gateway_bench [--quick]).
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

namespace {

const int kChannels = 36, kStations = 4;

int FreePort() {
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

pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
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
    // Counting mode: every reply carries the station's next byte (+1).
    void Count(bool on) { m_count = on; }
    // When the first reply with this byte left for station s of channel c.
    double SentAt(int c, int s) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_sentAt[c][s];
    }
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
                    if (station < 0 || station >= kStations) continue;
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
        char reply[8];
        CStationProtocol::BuildFrame(s + 1, status, reply);
        (void)!::write(m_ptys[c].master, reply, 8);
    }

    std::vector<Pty> m_ptys;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_count{false};
    std::mutex m_lock;
    std::array<std::array<uint8_t, kStations>, kChannels> m_status;
    std::array<std::array<int, kStations>, kChannels> m_sent;
    double m_sentAt[kChannels][kStations] = {};
    std::vector<uint8_t> m_history[kChannels][kStations];
};

// A client of the web page's event stream on a plain socket: keeps, per
// "channel/tag", how many value events arrived and when the last did.
class EventClient {
public:
    explicit EventClient(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            Fail("cannot connect to the web page's port");
        const char request[] = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        (void)!::write(m_fd, request, sizeof request - 1);
        m_thread = std::thread([this] { Read(); });
    }
    ~EventClient() {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    // (count, time of the last) for a channel's tag
    std::pair<size_t, double> Seen(const std::string& key) {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_seen.find(key);
        return it == m_seen.end() ? std::make_pair(size_t(0), 0.0) : it->second;
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
            for (size_t nl; (nl = buffer.find('\n')) != std::string::npos; buffer.erase(0, nl + 1)) {
                const std::string line = buffer.substr(0, nl);
                std::lock_guard<std::mutex> hold(m_lock);
                if (line.compare(0, 6, "retry:") == 0) m_open = true;
                if (line.compare(0, 6, "data: ") != 0) continue;
                // {"channel":"Line3","tag":"P2/I0","value":1}
                const size_t c = line.find("\"channel\":\""), t = line.find("\"tag\":\"");
                if (c == std::string::npos || t == std::string::npos) continue;
                const std::string channel = line.substr(c + 11, line.find('"', c + 11) - c - 11);
                const std::string tag = line.substr(t + 7, line.find('"', t + 7) - t - 7);
                auto& seen = m_seen[channel + "/" + tag];
                ++seen.first;
                seen.second = now;
            }
        }
    }
    int m_fd = -1;
    std::thread m_thread;
    std::mutex m_lock;
    bool m_open = false;
    std::map<std::string, std::pair<size_t, double>> m_seen;
};

// What the subscriber received: per topic, the values in order with the time.
struct Received {
    std::mutex lock;
    std::map<std::string, std::vector<std::pair<char, double>>> byTopic;
    size_t count = 0;
};
Received g_received;

void OnMessage(mosquitto*, void*, const mosquitto_message* m) {
    double now = NowUs();
    std::lock_guard<std::mutex> hold(g_received.lock);
    g_received.byTopic[m->topic].push_back(
        {m->payloadlen > 0 ? static_cast<const char*>(m->payload)[0] : '?', now});
    ++g_received.count;
}

// CPU seconds a thread of a process has run so far (the scheduler's count in
// nanoseconds: the clock ticks of /proc/PID/stat are too coarse for threads
// that run a few microseconds at a time).
double ThreadCpuSeconds(pid_t pid, pid_t thread) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) +
                     "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

long RssKbOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    g_quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string bin = Folder(), dir = ConfigFolder();

    // the broker
    const int port = FreePort(), modbusPort = FreePort(), webPort = FreePort();
    {
        std::ofstream conf(dir + "/mosquitto.conf");
        conf << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
    }
    // (Debian installs the broker in /usr/sbin, which a user's PATH may lack)
    const std::string brokerProgram =
        ::access("/usr/sbin/mosquitto", X_OK) == 0 ? "/usr/sbin/mosquitto" : "mosquitto";
    pid_t broker = Spawn({brokerProgram, "-c", dir + "/mosquitto.conf"}, dir + "/mosquitto.log");

    // the lines and the gateway's configuration
    Lines lines;
    // with the web page (sections 1-4) or without (5: its threads would be
    // counted with the scan threads)
    auto writeToml = [&](bool web) {
        std::ofstream toml(dir + "/bench.toml");
        toml << "[gateway]\nid = \"bench\"\n[broker]\nhost = \"127.0.0.1\"\nport = " << port
             << "\n[modbus]\nport = " << modbusPort << "\n";
        if (web) toml << "[web]\nport = " << webPort << "\n";
        toml << "[ports]\n";
        for (int c = 0; c < kChannels; ++c)
            toml << "COM" << c + 1 << " = \"" << lines.At(c).slave << "\"\n";
        for (int c = 0; c < kChannels; ++c) {
            std::string cfg =
                WriteConfig({c + 1, kStations, 0, 100, 1000}, "Line" + std::to_string(c + 1));
            toml << "[[channel]]\nname = \"Line" << c + 1 << "\"\nconfig = \"" << cfg << "\"\n";
        }
    };
    writeToml(true);
    lines.Start();

    mosquitto_lib_init();
    mosquitto* sub = mosquitto_new("gateway-bench", true, nullptr);
    mosquitto_int_option(sub, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(sub, &OnMessage);
    for (int i = 0; i < 100 && mosquitto_connect(sub, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    mosquitto_subscribe(sub, nullptr, "krandolix/bench/+/+/+", 1);
    mosquitto_loop_start(sub);

    pid_t gw = Spawn({bin + "drvgw", "run", dir + "/bench.toml"}, dir + "/drvgw.log");
    // every channel's values are there once
    auto wait = [](const std::function<bool()>& done, double seconds) {
        double end = NowUs() + seconds * 1e6;
        while (NowUs() < end && !done()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return done();
    };
    const size_t allValues = kChannels * kStations * 8;
    if (!wait(
            [&] {
                std::lock_guard<std::mutex> hold(g_received.lock);
                return g_received.byTopic.size() >= allValues;
            },
            30)) {
        Fail("the gateway did not publish every value (see " + dir + "/drvgw.log)");
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf(
        "machine: %u cores; 36 channels of 4 stations (poll period 100 ms), drvgw, "
        "mosquitto, the subscriber in this program\n",
        std::thread::hardware_concurrency());

    Heading("1. From the reply that changes a value to the subscriber receiving it");
    std::mt19937 random(7);
    std::vector<double> latency;
    const int samples = g_quick ? 150 : 600;
    for (int i = 0; i < samples; ++i) {
        int c = static_cast<int>(random() % kChannels), s = static_cast<int>(random() % kStations);
        std::string topic =
            "krandolix/bench/Line" + std::to_string(c + 1) + "/P" + std::to_string(s + 1) + "/I0";
        size_t before;
        {
            std::lock_guard<std::mutex> hold(g_received.lock);
            before = g_received.byTopic[topic].size();
        }
        uint8_t next = static_cast<uint8_t>(lines.Get(c, s) ^ 1u);
        lines.Set(c, s, next);
        double got = 0;
        wait(
            [&] {
                std::lock_guard<std::mutex> hold(g_received.lock);
                auto& v = g_received.byTopic[topic];
                if (v.size() > before) got = v.back().second;
                return got > 0;
            },
            5);
        if (got == 0) Fail("a change never arrived: " + topic);
        latency.push_back((got - lines.SentAt(c, s)) / 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    Stats l = Summarize(latency);
    std::printf("  %zu changes: median %.3f ms  p99 %.3f ms  max %.3f ms\n", l.n, l.median, l.p99,
                l.max);
    Judge("gateway latency, median", l.median, 1, "ms");
    Judge("gateway latency, p99", l.p99, 5, "ms");

    Heading("2. A burst of value changes: every reply carries the next byte");
    size_t start;
    {
        std::lock_guard<std::mutex> hold(g_received.lock);
        start = g_received.count;
        for (auto& [topic, v] : g_received.byTopic) v.clear();
    }
    uint8_t before[kChannels][kStations];
    for (int c = 0; c < kChannels; ++c)
        for (int s = 0; s < kStations; ++s) before[c][s] = lines.Get(c, s);
    double t0 = NowUs();
    lines.Count(true);
    const size_t target = 5000;
    // every reply changes bit 0, every second bit 1, ...: about two values a reply
    wait(
        [&] {
            std::lock_guard<std::mutex> hold(g_received.lock);
            return g_received.count - start >= target;
        },
        60);
    lines.Count(false);
    double seconds = (NowUs() - t0) / 1e6;
    // the last ones arrive: until nothing more comes for a second
    for (size_t last = 0;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::lock_guard<std::mutex> hold(g_received.lock);
        if (g_received.count == last) break;
        last = g_received.count;
    }
    // what each topic must have seen: a value for every change of its bit, in order
    size_t expected = 0, received = 0, lost = 0, disordered = 0;
    for (int c = 0; c < kChannels; ++c) {
        for (int s = 0; s < kStations; ++s) {
            std::vector<uint8_t> h = lines.History(c, s);
            for (int bit = 0; bit < 8; ++bit) {
                std::vector<char> want;
                int last = (before[c][s] >> bit) & 1;
                for (uint8_t b : h) {
                    int v = (b >> bit) & 1;
                    if (v != last) want.push_back(static_cast<char>('0' + v));
                    last = v;
                }
                std::string topic = "krandolix/bench/Line" + std::to_string(c + 1) + "/P" +
                                    std::to_string(s + 1) + "/I" + std::to_string(bit);
                std::vector<char> got;
                {
                    std::lock_guard<std::mutex> hold(g_received.lock);
                    for (auto& [v, t] : g_received.byTopic[topic]) got.push_back(v);
                }
                expected += want.size();
                received += got.size();
                if (got.size() < want.size()) lost += want.size() - got.size();
                for (size_t i = 1; i < got.size(); ++i) disordered += got[i] == got[i - 1];
            }
        }
    }
    std::printf(
        "  %zu value changes in %.1f s (%.0f a second): %zu received, %zu lost, %zu out of order\n",
        expected, seconds, expected / seconds, received, lost, disordered);
    Judge("burst: values lost or out of order", static_cast<double>(lost + disordered), 0, "");

    Heading("3. Modbus TCP: one client reads one station's 8 discrete inputs, back to back");
    {
        modbus_t* client = modbus_new_tcp("127.0.0.1", modbusPort);
        if (!client || modbus_connect(client) != 0) Fail("cannot connect to the Modbus server");
        modbus_set_slave(client, 1);
        uint8_t bits[8];
        std::vector<double> trips;
        const int count = g_quick ? 2000 : 10000;
        double start = NowUs();
        for (int i = 0; i < count; ++i) {
            double t0 = NowUs();
            if (modbus_read_input_bits(client, 8 * (i % kStations), 8, bits) != 8)
                Fail(std::string("Modbus read failed: ") + modbus_strerror(errno));
            trips.push_back((NowUs() - t0) / 1000.0);
        }
        double seconds = (NowUs() - start) / 1e6;
        modbus_close(client);
        modbus_free(client);
        Stats m = Summarize(trips);
        std::printf("  %d reads while 36 channels scan: median %.3f ms  p99 %.3f ms  max %.3f ms;"
                    " %.0f requests a second\n", count, m.median, m.p99, m.max, count / seconds);
        Judge("Modbus TCP read round trip, p99", m.p99, 0.5, "ms");
    }

    Heading("4. The web page's event stream, 20 clients holding it");
    {
        const long rssBefore = RssKbOf(gw);
        std::vector<std::unique_ptr<EventClient>> clients;
        for (int i = 0; i < 20; ++i) clients.emplace_back(new EventClient(webPort));
        if (!wait([&] { return std::all_of(clients.begin(), clients.end(),
                                           [](auto& c) { return c->Open(); }); }, 10))
            Fail("the event stream did not open for 20 clients");
        std::vector<double> sse, mqtt;
        const int count = g_quick ? 150 : 600;
        for (int i = 0; i < count; ++i) {
            int c = static_cast<int>(random() % kChannels), s = static_cast<int>(random() % kStations);
            const std::string tag = "P" + std::to_string(s + 1) + "/I0";
            const std::string key = "Line" + std::to_string(c + 1) + "/" + tag;
            const std::string topic = "krandolix/bench/" + key;
            const size_t sseBefore = clients[i % 20]->Seen(key).first;
            size_t mqttBefore;
            {
                std::lock_guard<std::mutex> hold(g_received.lock);
                mqttBefore = g_received.byTopic[topic].size();
            }
            lines.Set(c, s, static_cast<uint8_t>(lines.Get(c, s) ^ 1u));
            double gotSse = 0, gotMqtt = 0;
            wait(
                [&] {
                    auto seen = clients[i % 20]->Seen(key);
                    if (seen.first > sseBefore) gotSse = seen.second;
                    std::lock_guard<std::mutex> hold(g_received.lock);
                    auto& v = g_received.byTopic[topic];
                    if (v.size() > mqttBefore) gotMqtt = v.back().second;
                    return gotSse > 0 && gotMqtt > 0;
                },
                5);
            if (gotSse == 0 || gotMqtt == 0) Fail("a change never arrived: " + key);
            sse.push_back((gotSse - lines.SentAt(c, s)) / 1000.0);
            mqtt.push_back((gotMqtt - lines.SentAt(c, s)) / 1000.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
        // every client saw every change (a sample: the last change)
        Stats e = Summarize(sse), m = Summarize(mqtt);
        std::printf("  %zu changes to a client of /api/events: median %.3f ms  p99 %.3f ms  max %.3f ms\n",
                    e.n, e.median, e.p99, e.max);
        std::printf("  the MQTT subscriber meanwhile: median %.3f ms  p99 %.3f ms (section 1: %.3f / %.3f)\n",
                    m.median, m.p99, l.median, l.p99);
        std::printf("  resident memory: %ld KB before the 20 streams, %ld KB with them\n", rssBefore,
                    RssKbOf(gw));
        // (the page's events wait 5 ms so that MQTT goes first: a person sees no difference)
        Judge("web event latency, p99 (20 clients)", e.p99, 20, "ms");
        Judge("MQTT latency with 20 web clients, median, beyond section 1's", m.median - l.median,
              0.10 * l.median, "ms");
        Judge("MQTT latency with 20 web clients, p99, beyond section 1's", m.p99 - l.p99, 1, "ms");
    }

    Heading("5. The gateway with 36 channels idle (polling, no value changing)");
    ::kill(gw, SIGTERM);
    ::waitpid(gw, nullptr, 0);
    writeToml(false);
    gw = Spawn({bin + "drvgw", "run", dir + "/bench.toml"}, dir + "/drvgw-noweb.log");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double idleSeconds = g_quick ? 5 : 15;
    auto idle = [&](pid_t pid, const char* what) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        // the threads in the order they began: the gateway's loop, the MQTT
        // network thread, then the driver's scan threads
        std::vector<pid_t> threads;
        for (const auto& e :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
            threads.push_back(std::stoi(e.path().filename().string()));
        std::sort(threads.begin(), threads.end());
        std::vector<double> t0;
        for (pid_t t : threads) t0.push_back(ThreadCpuSeconds(pid, t));
        double w0 = NowUs();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        double wall = (NowUs() - w0) / 1e6;
        double share[3] = {};
        for (size_t i = 0; i < threads.size(); ++i)
            share[std::min<size_t>(i, 2)] +=
                (ThreadCpuSeconds(pid, threads[i]) - t0[i]) / wall * 100;
        const double cpu = share[0] + share[1] + share[2];
        std::printf(
            "  %s:\n    CPU %.2f %% of one core in all: the gateway's loop %.2f %%, the MQTT"
            " thread %.2f %%, the driver's %zu scan threads %.2f %%; resident memory %ld KB\n",
            what, cpu, share[0], share[1], threads.size() - 2, share[2], RssKbOf(pid));
        return cpu;
    };
    idle(gw, "polled every 100 ms (1440 polls a second, 11520 input values)");
    // the same lines at the stations' default period of a second
    ::kill(gw, SIGTERM);
    ::waitpid(gw, nullptr, 0);
    for (int c = 0; c < kChannels; ++c)
        WriteConfig({c + 1, kStations, 0, 1000, 1000}, "Line" + std::to_string(c + 1));
    gw = Spawn({bin + "drvgw", "run", dir + "/bench.toml"}, dir + "/drvgw-idle.log");
    double cpu = idle(gw, "polled every second (144 polls a second, 1152 input values)");
    Judge("gateway with 36 idle channels (period 1 s), CPU", cpu, 2, "% core");

    PrintTargets();
    ::kill(gw, SIGTERM);
    ::waitpid(gw, nullptr, 0);
    mosquitto_loop_stop(sub, true);
    ::kill(broker, SIGTERM);
    ::waitpid(broker, nullptr, 0);
    lines.Stop();
    std::filesystem::remove_all(dir);
    return 0;
}
