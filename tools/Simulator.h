// The motor controllers mcsim simulates: their stations, the pseudo-terminal
// they answer on, and the commands that change them (the line side in
// Simulator.cpp, the commands in SimCommands.cpp, the program in mcsim.cpp).
#pragma once

#include <signal.h>
#include <termios.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "SimFrame.h"

namespace mcsim {

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

int64_t NowMs();
// The local time of day with milliseconds, as the trace shows it.
std::string Stamp();
// A number as C reads it (0x.. hex too), the whole text, from low to high.
bool ParseNumber(const std::string& text, long low, long high, long* out);
bool ParseRule(const std::string& text, Rule* rule);
// The speed a terminal's settings name, in baud (0 when not one of ours).
long BaudOfTermios(const struct termios& tio);

// Set by SIGINT and SIGTERM: the simulator ends.
extern volatile sig_atomic_t g_stop;

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

}  // namespace mcsim
