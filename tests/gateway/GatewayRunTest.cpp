// The whole gateway in one process, as drvgw runs it: its loop, the broker's
// network thread, the page's server and worker, the Modbus server, the
// history's writer and checkpointer, the metrics listener, a reopen or stop
// on threads of their own and the driver's scan threads, all at once, while
// clients of every kind read. Built in the ThreadSanitizer build too, where
// this is what finds a race between them. A real mosquitto on loopback, the
// simulator on a pseudo-terminal, and clients on real sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "SimControl.h"
#include "TestSupport.h"
#include "com_ports.h"
#include "config/ConfigData.h"
#include "gateway/app/Gateway.h"
#include "gateway/config/GatewayConfig.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const char kMosquitto[] = "/usr/sbin/mosquitto";
const char kPrefix[] = "krandolix/run";
// admin:secret
const char kAuth[] = "Authorization: Basic YWRtaW46c2VjcmV0\r\n";

bool WaitFor(const std::function<bool()>& condition, int seconds = 15) {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

int Connect(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval t{10, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// One request on a connection of its own, read to its end.
HttpAnswer Http(int port, const std::string& method, const std::string& path,
                const std::string& body = "") {
    HttpAnswer answer;
    const int s = Connect(port);
    if (s < 0) return answer;
    std::string request =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kAuth + "Connection: close\r\n";
    if (!body.empty())
        request +=
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n";
    request += "\r\n" + body;
    (void)!::send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(s, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, n);
    ::close(s);
    if (text.compare(0, 9, "HTTP/1.1 ") == 0) answer.status = std::atoi(text.c_str() + 9);
    const size_t head = text.find("\r\n\r\n");
    if (head != std::string::npos) answer.body = text.substr(head + 4);
    // (a chunked body: its chunks joined)
    if (text.find("Transfer-Encoding: chunked") != std::string::npos) {
        std::string joined, rest = answer.body;
        for (size_t at = 0;;) {
            const size_t line = rest.find("\r\n", at);
            if (line == std::string::npos) break;
            const size_t size = std::strtoul(rest.c_str() + at, nullptr, 16);
            if (size == 0) break;
            joined += rest.substr(line + 2, size);
            at = line + 2 + size + 2;
        }
        answer.body = joined;
    }
    return answer;
}

// One Modbus TCP request, its answer's bytes (empty when none came).
std::string Modbus(int port, uint8_t unit, const std::string& pdu) {
    const int s = Connect(port);
    if (s < 0) return "";
    std::string frame = {0, 1, 0, 0, 0, static_cast<char>(pdu.size() + 1), static_cast<char>(unit)};
    frame += pdu;
    (void)!::send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
    char buffer[300];
    const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
    ::close(s);
    return n > 7 ? std::string(buffer + 7, n - 7) : "";
}

std::string WriteCoil(int address) {
    return std::string{5, static_cast<char>(address >> 8), static_cast<char>(address & 0xff),
                       static_cast<char>(0xff), 0};
}

// mosquitto on loopback, in a process of its own.
class Broker {
public:
    explicit Broker(const std::string& folder) : m_port(FreePort()) {
        const std::string conf = folder + "/mosquitto.conf";
        std::ofstream(conf) << "listener " << m_port << " 127.0.0.1\nallow_anonymous true\n";
        m_pid = ::fork();
        if (m_pid == 0) {
            // (the test's blocked signals would outlive exec)
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            const std::string log = folder + "/mosquitto.log";
            FILE* out = std::freopen(log.c_str(), "w", stdout);
            (void)out;
            ::dup2(STDOUT_FILENO, STDERR_FILENO);
            ::execl(kMosquitto, kMosquitto, "-c", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Broker() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool Listening() const {
        const int s = Connect(m_port);
        if (s >= 0) ::close(s);
        return s >= 0;
    }
    int Port() const { return m_port; }

private:
    int m_port;
    pid_t m_pid = -1;
};

// An MQTT client of libmosquitto's, keeping the last payload of every topic
// and every result that came.
class Client {
public:
    explicit Client(int port) {
        m_mosq = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* c = static_cast<Client*>(self);
                std::lock_guard<std::mutex> hold(c->m_lock);
                const std::string payload(static_cast<const char*>(m->payload), m->payloadlen);
                c->m_last[m->topic] = payload;
                if (std::strstr(m->topic, "/result")) c->m_results.push_back(payload);
            });
        mosquitto_connect(m_mosq, "127.0.0.1", port, 30);
        mosquitto_subscribe(m_mosq, nullptr, (std::string(kPrefix) + "/#").c_str(), 1);
        mosquitto_loop_start(m_mosq);
    }
    ~Client() {
        // (the loop ends with the connection; forced, it may leave a lock held)
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    std::string Last(const std::string& topic) {
        std::lock_guard<std::mutex> hold(m_lock);
        auto it = m_last.find(topic);
        return it == m_last.end() ? "" : it->second;
    }
    std::vector<std::string> Results() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_results;
    }
    void Publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 2, false);
    }

private:
    mosquitto* m_mosq;
    std::mutex m_lock;
    std::map<std::string, std::string> m_last;
    std::vector<std::string> m_results;
};

class Run : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        mosquitto_lib_init();
        // the gateway takes its signals on a descriptor: no thread of this
        // process may take them first
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGHUP);
        sigaddset(&s, SIGTERM);
        sigaddset(&s, SIGINT);
        ::pthread_sigmask(SIG_BLOCK, &s, nullptr);
    }
    static void TearDownTestSuite() { mosquitto_lib_cleanup(); }

    void SetUp() override {
        if (::access(kMosquitto, X_OK) != 0) GTEST_SKIP() << "no " << kMosquitto;
        ASSERT_TRUE(sim.Connected()) << "run through scripts/with-mcsim";
        ASSERT_TRUE(sim.Ok("reset"));
        ASSERT_TRUE(sim.Ok("add 1 0x05"));
        ASSERT_TRUE(sim.Ok("add 2 0x80"));
        CConfigData config;
        config.SetPort(kComGatewayRun - 1);
        config.SetTimeout(500);
        for (int n : {1, 2}) {
            auto* s = new CStationData;
            s->SetName(n == 1 ? "A" : "B");
            s->SetStationNo(n);
            s->SetPollPeriod(100);
            config.AddStation(s);
        }
        ASSERT_EQ(config.Save(dir.Path("line.cfg").c_str()), 0);
        testsupport::WriteBytes(dir.Path("password"), "secret\n");
        ::chmod(dir.Path("password").c_str(), 0600);
        broker.reset(new Broker(dir.Path("")));
        ASSERT_TRUE(WaitFor([this] { return broker->Listening(); })) << "mosquitto did not start";
        // (read before a gateway runs: it points the variable at its own links)
        const char* dosdevices = std::getenv("KRANDOLIX_DOSDEVICES");
        device = std::string(dosdevices ? dosdevices : TEST_DOSDEVICES) + "/com" +
                 std::to_string(kComGatewayRun);
        web = FreePort();
        modbus = FreePort();
        metrics = FreePort();
    }

    // The gateway's file: its tables, and the channel's own lines.
    void WriteConfig(int statusInterval, const std::string& channelExtra = "") {
        std::ofstream(dir.Path("gw.toml"))
            << "[gateway]\nid = \"run\"\ntopic_prefix = \"" << kPrefix
            << "\"\nstatus_interval = " << statusInterval << "\n"
            << "[broker]\nhost = \"127.0.0.1\"\nport = " << broker->Port() << "\nkeepalive = 5\n"
            << "[ports]\nCOM" << kComGatewayRun << " = \"" << device << "\"\n"
            << "[modbus]\nport = " << modbus << "\n"
            << "[web]\nport = " << web << "\nuser = \"admin\"\npassword_file = \""
            << dir.Path("password") << "\"\n"
            << "[metrics]\nport = " << metrics << "\n"
            << "[history]\npath = \"" << dir.Path("history.db") << "\"\n"
            << "[[channel]]\nname = \"Line\"\nconfig = \"" << dir.Path("line.cfg") << "\"\n"
            << channelExtra;
    }

    void Start() {
        GatewayConfig config;
        std::string error;
        ASSERT_TRUE(LoadGatewayConfig(dir.Path("gw.toml"), &config, &error)) << error;
        gateway.reset(new Gateway(std::move(config)));
        thread = std::thread([this] { exitCode = gateway->Run(); });
        ASSERT_TRUE(WaitFor([this] { return Http(web, "GET", "/api/state").status == 200; }));
    }

    int Stop() {
        ::kill(::getpid(), SIGTERM);
        if (thread.joinable()) thread.join();
        return exitCode;
    }

    void TearDown() override {
        if (thread.joinable()) Stop();
        gateway.reset();
    }

    std::string Write(const std::string& tag) {
        const HttpAnswer a = Http(web, "POST", "/api/write",
                                  json{{"channel", "Line"}, {"tag", tag}, {"value", 1}}.dump());
        if (a.status != 200) return "http " + std::to_string(a.status);
        return json::parse(a.body, nullptr, false).value("result", "(" + a.body + ")");
    }

    testsupport::SimControl sim{kComGatewayRun};
    testsupport::ScratchDir dir;
    std::unique_ptr<Broker> broker;
    std::string device;  // the simulator's line
    int web = 0, modbus = 0, metrics = 0;
    std::unique_ptr<Gateway> gateway;
    std::thread thread;
    std::atomic<int> exitCode{-1};
};

// A command by each way in acts once and tells its outcome on every way out,
// through two reloads (one applied live, one that makes the channel again),
// while a reader on each way in keeps asking; then a clean stop.
TEST_F(Run, EveryWayInAtOnceThroughReloadsAndAStop) {
    WriteConfig(2);
    ASSERT_NO_FATAL_FAILURE(Start());
    Client mqtt(broker->Port());
    const std::string base = std::string(kPrefix) + "/Line/";
    ASSERT_TRUE(WaitFor([&] { return mqtt.Last(kPrefix + std::string("/online")) == "1"; }));
    ASSERT_TRUE(WaitFor([&] { return mqtt.Last(base + "A/I0") == "1"; }));

    // readers of every kind, all the while
    std::atomic<bool> reading{true};
    std::atomic<int> reads{0}, failedReads{0};
    std::vector<std::thread> readers;
    readers.emplace_back([&] {
        while (reading) {
            const int status = Http(web, "GET", "/api/state").status;
            ++reads;
            failedReads += status != 200;
        }
    });
    readers.emplace_back([&] {
        while (reading) {
            // input registers of station A: its state and counters
            const std::string answer = Modbus(modbus, 1, std::string{4, 0, 0, 0, 6});
            ++reads;
            failedReads += answer.size() != 14;
        }
    });
    readers.emplace_back([&] {
        while (reading) {
            Http(metrics, "GET", "/metrics");
            Http(web, "GET", "/metrics");
            Http(web, "GET", "/api/history?kind=write");
            ++reads;
        }
    });

    const long before = sim.Get(1, "controls");
    // the page (waiting for the outcome), Modbus (answered once queued), MQTT
    EXPECT_EQ(Write("A/O1"), "done");
    EXPECT_EQ(Modbus(modbus, 1, WriteCoil(2)), WriteCoil(2));
    mqtt.Publish(base + "A/O3/set", "{\"value\": 1, \"request\": 7}");
    EXPECT_TRUE(WaitFor([&] { return sim.Get(1, "controls") == before + 3; }))
        << sim.Get(1, "controls") - before;
    EXPECT_TRUE(WaitFor([&] {
        for (const std::string& r : mqtt.Results())
            if (r.find("\"request\":7") != std::string::npos &&
                r.find("\"done\"") != std::string::npos)
                return true;
        return false;
    }));

    // a reload applied live, and one that makes the channel again (a tag list)
    WriteConfig(3);
    ::kill(::getpid(), SIGHUP);
    EXPECT_EQ(Write("B/O1"), "done");
    testsupport::WriteBytes(dir.Path("line.tags"), "a.out=Line.A:O4\nb.in=Line.B:I7\n");
    WriteConfig(3, "tags = \"" + dir.Path("line.tags") + "\"\n");
    ::kill(::getpid(), SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return Write("a.out") == "done"; }));
    EXPECT_TRUE(WaitFor([&] { return mqtt.Last(base + "b.in") == "1"; }));
    // the old channel's tags are gone with it
    EXPECT_EQ(Write("A/O1"), "http 404");

    // a station command through the page, told on MQTT too
    const HttpAnswer reset =
        Http(web, "POST", "/api/station",
             json{{"channel", "Line"}, {"station", "B"}, {"command", "disable"}}.dump());
    EXPECT_EQ(reset.status, 200) << reset.body;
    EXPECT_TRUE(WaitFor([&] {
        return json::parse(mqtt.Last(base + "station/B"), nullptr, false).value("state", "") ==
               "disabled";
    }));

    // every command written once, in the history the page reads
    EXPECT_TRUE(WaitFor([&] {
        const json h =
            json::parse(Http(web, "GET", "/api/history?kind=write").body, nullptr, false);
        return h.is_object() && h.contains("events") && h["events"].size() >= 5;
    }));
    reading = false;
    for (std::thread& t : readers) t.join();
    EXPECT_GT(reads.load(), 10);
    EXPECT_EQ(failedReads.load(), 0);
    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(WaitFor([&] { return mqtt.Last(kPrefix + std::string("/online")) == "0"; }));
}

}  // namespace
