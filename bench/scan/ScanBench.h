// scan_bench's shared part: clocks and figures, the targets' verdicts,
// pseudo-terminals and their dosdevices links, the minimal responder, mcsim
// in a child process, and the built driver's channels as a host opens them.
// Each section of the benchmark is a file of its own beside this one.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/HostInterface.h"

class CChannel;
class DriverTable;

namespace scanbench {

extern bool g_quick;
extern bool g_strict;  // exit status 2 when a target is missed
// The poll's median round trip from section 1, back to back and after a
// pause; section 3 estimates passes from them.
extern double g_pollRoundTripUs;
extern double g_pausedPollUs;
// The driver loaded through its table (sections 3-6).
extern DriverTable* g_driver;

const int kType = kDigitalTagType;

// ---- clocks and figures ----

double NowUs();
double CpuUs(clockid_t clock);
double ThreadCpuUs();
double ProcessCpuUs();

struct Stats {
    size_t n = 0;
    double median = 0, p99 = 0, mean = 0, max = 0;
};
Stats Summarize(std::vector<double> v);

struct Verdict {
    std::string what, figure, target;
    bool met;
};
extern std::vector<Verdict> g_verdicts;
// Records a figure against its target (met when value <= limit).
void Judge(const std::string& what, double value, double limit, const char* unit);
void Heading(const char* text);
// The table of every figure against its target; true when all were met.
bool PrintTargets();
[[noreturn]] void Fail(const std::string& why);

// ---- pseudo-terminals, their links and the processes behind them ----

struct Pty {
    int master = -1;
    int held = -1;  // the far side, held open so the line lives while the driver closes it
    std::string slave;
};
Pty OpenPty();
std::string Folder();

// Links dosdevices/comN to a device; removed again when the program ends.
class Links {
public:
    void Place(int com, const std::string& device);
    ~Links() { Clear(); }
    void Clear();

private:
    std::vector<std::string> m_links;
};
extern Links g_links;

enum class Answer { frames, silent, modbus };

// The minimal responder: a child process that answers every complete
// request at once: the driver's frames with status 0xA5 for the station
// asked, a Modbus read of one holding register with 0x1234, or nothing.
// It allocates nothing after the fork.
class Responder {
public:
    void Add(const Pty& pty, Answer how);
    void Start();
    ~Responder();

private:
    struct Line {
        int fd;
        int held;
        Answer how;
        uint8_t buf[64] = {};
        int len = 0;
    };
    [[noreturn]] void Serve();
    static void Take(Line& l);
    std::vector<Line> m_lines;
    pid_t m_pid = -1;
};

// mcsim with stations 1..count on its own pseudo-terminal, linked as COMn.
class Simulator {
public:
    Simulator(int com, int count);
    ~Simulator();

private:
    pid_t m_pid = -1;
    std::string m_link;
};

// ---- the driver's channel in this process (sections 1-3) ----

// A channel of one station, number 1, named P1, with eight inputs and eight
// outputs registered, its port opened.
std::unique_ptr<CChannel> OpenLocalChannel(int com);

// ---- the built driver, through its entry table (sections 3-6) ----

// Names a tag in the host's tag database, as the host has its tags named
// before any driver sees them.
void DefineTag(HostTagRef tag);
// Registers a tag the host has named; its handle or -1.
int32_t RegisterNamed(int32_t h, const std::string& device, const std::string& address,
                      HostTagRef tag);

struct ChannelSetup {
    int com;
    int stations;
    int delayMs;
    int periodMs;
    int timeoutMs;
};
// The configuration files of this run, removed at its end.
const std::string& ConfigFolder();
std::string WriteConfig(const ChannelSetup& setup, const std::string& name);
int32_t OpenChannel(const ChannelSetup& setup, const std::string& name);
void StartChannel(int32_t h, bool active);

// 36 channels, each on its own line with four stations (period 100 ms).
struct Fleet {
    std::vector<int32_t> handles;
    std::vector<std::vector<int32_t>> outputs;  // per channel, its 32 output tags
    std::unique_ptr<Responder> responder;
};
Fleet OpenFleet(Answer how, int timeoutMs, const std::string& name);
// Each Stop waits for its channel's pass (seconds with silent stations): all at once.
void StopFleet(const Fleet& fleet);

// ---- the sections ----

void PartTransactions();  // 1
void PartYardstick();     // 2
void PartScanPass();      // 3
void PartHostCalls();     // 4
void PartIdle();          // 5
void PartMemory();        // 6

}  // namespace scanbench
