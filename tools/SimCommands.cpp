// mcsim's commands (standard input, or the control port): one line each,
// answered with one line.
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

namespace mcsim {

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

}  // namespace mcsim
