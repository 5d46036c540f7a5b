// scan_bench's shared part (see ScanBench.h).
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <functional>
#include <thread>

#include "ScanBench.h"
#include "channel/Channel.h"
#include "com_ports.h"
#include "host/DriverTable.h"

namespace scanbench {

bool g_quick = false;
bool g_strict = false;
double g_pollRoundTripUs = 0;
double g_pausedPollUs = 0;
DriverTable* g_driver = nullptr;

// ---- clocks and figures ----

double NowUs() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double CpuUs(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}
double ThreadCpuUs() {
    return CpuUs(CLOCK_THREAD_CPUTIME_ID);
}
double ProcessCpuUs() {
    return CpuUs(CLOCK_PROCESS_CPUTIME_ID);
}

Stats Summarize(std::vector<double> v) {
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, static_cast<size_t>(v.size() * 0.99))];
    s.max = v.back();
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / v.size();
    return s;
}

std::vector<Verdict> g_verdicts;

void Judge(const std::string& what, double value, double limit, const char* unit) {
    char figure[64], target[64];
    std::snprintf(figure, sizeof figure, "%.3g %s", value, unit);
    std::snprintf(target, sizeof target, "<= %.3g %s", limit, unit);
    g_verdicts.push_back({what, figure, target, value <= limit});
}

void Heading(const char* text) {
    static const double start = NowUs();
    std::printf("\n== %s ==  [%.1f s]\n", text, (NowUs() - start) / 1e6);
    std::fflush(stdout);
}

bool PrintTargets() {
    Heading("Targets");
    bool all = true;
    for (const Verdict& v : g_verdicts) {
        std::printf("  %-50s %-12s %-14s %s\n", v.what.c_str(), v.figure.c_str(), v.target.c_str(),
                    v.met ? "met" : "MISSED");
        all = all && v.met;
    }
    return all;
}

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "scan_bench: %s\n", why.c_str());
    std::exit(1);
}

// ---- pseudo-terminals, their links and the processes behind them ----

Pty OpenPty() {
    Pty p;
    p.master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master < 0 || ::grantpt(p.master) != 0 || ::unlockpt(p.master) != 0)
        Fail("no pseudo-terminal");
    p.slave = ::ptsname(p.master);
    p.held = ::open(p.slave.c_str(), O_RDWR | O_NOCTTY);
    termios tio;
    if (p.held < 0 || ::tcgetattr(p.held, &tio) != 0) Fail("cannot open " + p.slave);
    ::cfmakeraw(&tio);
    ::tcsetattr(p.held, TCSANOW, &tio);
    return p;
}

std::string Folder() {
    return OwnModuleFolder();
}

void Links::Place(int com, const std::string& device) {
    std::string dir = Folder() + "dosdevices";
    ::mkdir(dir.c_str(), 0755);
    std::string link = dir + "/com" + std::to_string(com);
    ::unlink(link.c_str());
    if (::symlink(device.c_str(), link.c_str()) != 0) Fail("cannot place " + link);
    m_links.push_back(link);
}

void Links::Clear() {
    for (const std::string& l : m_links) ::unlink(l.c_str());
    m_links.clear();
}

Links g_links;

uint16_t ModbusCrc(const uint8_t* p, int n) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

void Responder::Add(const Pty& pty, Answer how) {
    m_lines.push_back(Line{pty.master, pty.held, how});
}

void Responder::Start() {
    m_pid = ::fork();
    if (m_pid < 0) Fail("fork");
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        Serve();
    }
    for (const Line& l : m_lines) ::close(l.fd), ::close(l.held);
}

Responder::~Responder() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void Responder::Serve() {
    pollfd fds[128];
    size_t n = std::min<size_t>(m_lines.size(), 128);
    for (size_t i = 0; i < n; ++i) fds[i] = {m_lines[i].fd, POLLIN, 0}, m_lines[i].len = 0;
    for (;;) {
        if (::poll(fds, n, -1) < 0) continue;
        for (size_t i = 0; i < n; ++i)
            if (fds[i].revents & POLLIN) Take(m_lines[i]);
    }
}

void Responder::Take(Line& l) {
    uint8_t in[64];
    ssize_t got = ::read(l.fd, in, sizeof in);
    if (got <= 0 || l.how == Answer::silent) return;
    for (ssize_t i = 0; i < got; ++i) {
        if (l.how == Answer::frames && l.len == 0 && in[i] != 0x02) continue;
        l.buf[l.len++] = in[i];
        if (l.len < 8) continue;
        l.len = 0;
        if (l.how == Answer::frames) {
            int station = ((l.buf[1] - 0x30) << 4) | (l.buf[2] - 0x30);
            char reply[8];
            CStationProtocol::BuildFrame(station & 0xFF, 0xA5, reply);
            (void)!::write(l.fd, reply, 8);
        } else {
            uint8_t reply[7] = {l.buf[0], 0x03, 0x02, 0x12, 0x34, 0, 0};
            uint16_t crc = ModbusCrc(reply, 5);
            reply[5] = crc & 0xFF;
            reply[6] = crc >> 8;
            (void)!::write(l.fd, reply, 7);
        }
    }
}

Simulator::Simulator(int com, int count) {
    int out[2];
    if (::pipe(out) != 0) Fail("pipe");
    std::string link = Folder() + "dosdevices/com" + std::to_string(com);
    ::mkdir((Folder() + "dosdevices").c_str(), 0755);
    std::vector<std::string> args = {Folder() + "mcsim", "--link", link};
    for (int i = 1; i <= count; ++i) args.push_back(std::to_string(i) + ":0xA5");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(out[1], 1);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    std::string text;
    char c;
    while (text.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) text += c;
    ::close(out[0]);
    if (text.compare(0, 4, "pty ") != 0) Fail("mcsim did not start (" + args[0] + ")");
    m_link = link;
}

Simulator::~Simulator() {
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
    ::unlink(m_link.c_str());
}

// ---- the driver's channel in this process (sections 1 and 2) ----

std::unique_ptr<CChannel> OpenLocalChannel(int com) {
    std::unique_ptr<CChannel> channel(new CChannel);
    channel->SetPort(com - 1);
    channel->SetBaudRate(6);
    channel->SetDataBits(1);
    channel->SetTimeout(1000);
    auto* station = new CStationData;
    station->SetName("P1");
    station->SetStationNo(1);
    channel->AddStation(station);
    channel->AttachStations();
    for (int bit = 0; bit < 8; ++bit) {
        station->RegisterTag(("I" + std::to_string(bit)).c_str(), kType, 0, 100 + bit);
        station->RegisterTag(("O" + std::to_string(bit)).c_str(), kType, 0, 200 + bit);
    }
    if (channel->Start() != 0) Fail("cannot open COM" + std::to_string(com));
    return channel;
}

// ---- the built driver, through its entry table (sections 3-6) ----

void DefineTag(HostTagRef tag) {
    static auto define = reinterpret_cast<void (*)(HostTagRef, const char*)>(
        FindSymbol(LoadLib("ZeravDbm.DLL"), "DbmDefineTag"));
    if (!define) Fail("the tag database has no DbmDefineTag");
    define(tag, ("TAG" + std::to_string(tag)).c_str());
}

int32_t RegisterNamed(int32_t h, const std::string& device, const std::string& address,
                      HostTagRef tag) {
    DefineTag(tag);
    return g_driver->Register(h, device.c_str(), address.c_str(), kType, tag);
}

const std::string& ConfigFolder() {
    static std::string folder = [] {
        char dir[] = "/tmp/scan_bench.XXXXXX";
        if (!::mkdtemp(dir)) Fail("no temporary folder");
        return std::string(dir);
    }();
    return folder;
}

std::string WriteConfig(const ChannelSetup& setup, const std::string& name) {
    CConfigData config;
    config.SetPort(setup.com - 1);
    config.SetBaudRate(6);
    config.SetDataBits(1);
    config.SetDelay(setup.delayMs);
    config.SetTimeout(setup.timeoutMs);
    config.SetRetries(0);
    for (int i = 1; i <= setup.stations; ++i) {
        auto* s = new CStationData;
        s->SetName(("P" + std::to_string(i)).c_str());
        s->SetStationNo(i);
        s->SetPollPeriod(setup.periodMs);
        config.AddStation(s);
    }
    std::string path = ConfigFolder() + "/" + name + ".cfg";
    if (config.Save(path.c_str()) != 0) Fail("cannot save " + path);
    return path;
}

int32_t OpenChannel(const ChannelSetup& setup, const std::string& name) {
    int32_t h = g_driver->Open(WriteConfig(setup, name));
    if (h < 0) Fail("the driver refused " + name);
    return h;
}

void StartChannel(int32_t h, bool active) {
    if (g_driver->Start(h) != 0) Fail("Start failed");
    g_driver->SetActive(h, nullptr, active ? 1 : 0);
    g_driver->StartScan(h);
}

Fleet OpenFleet(Answer how, int timeoutMs, const std::string& name) {
    Fleet fleet;
    fleet.responder.reset(new Responder);
    for (int i = 0; i < 36; ++i) {
        Pty pty = OpenPty();
        g_links.Place(kComBenchMany + i, pty.slave);
        fleet.responder->Add(pty, how);
        ChannelSetup setup{kComBenchMany + i, 4, 0, 100, timeoutMs};
        int32_t h = OpenChannel(setup, name + std::to_string(i));
        fleet.outputs.emplace_back();
        for (int s = 1; s <= 4; ++s) {
            std::string device = "BENCH.P" + std::to_string(s);
            for (int bit = 0; bit < 8; ++bit) {
                RegisterNamed(h, device, "I" + std::to_string(bit),
                              10000 + h * 1000 + s * 20 + bit);
                fleet.outputs.back().push_back(RegisterNamed(h, device, "O" + std::to_string(bit),
                                                             10000 + h * 1000 + s * 20 + 8 + bit));
            }
        }
        fleet.handles.push_back(h);
    }
    fleet.responder->Start();
    return fleet;
}

void StopFleet(const Fleet& fleet) {
    std::vector<std::thread> stops;
    for (int32_t h : fleet.handles) stops.emplace_back([h] { g_driver->Stop(h); });
    for (std::thread& t : stops) t.join();
}

}  // namespace scanbench
