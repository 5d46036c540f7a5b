// drvhost: runs the driver as a host does, through its entry table, with the
// stand-in host libraries beside it, and shows what happens: every tag's
// value, each station's status and counters, and the log lines as they come.
// Writes and other requests are typed as commands, one a line.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Json.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"
#include "host/HostInterface.h"
#include "host/HostSession.h"
#include "krandolix_version.h"
#include "platform/Args.h"
#include "platform/CString.h"
#include "platform/Encoding.h"
#include "platform/ExitCodes.h"
#include "platform/Tick.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const char kUsage[] =
    "usage: drvhost run CONFIG [--tag NAME=DEVICE:ADDRESS]... [--tags FILE]\n"
    "                          [--jsonl] [--duration SECONDS] [--trace FOLDER]\n"
    "  Loads the driver, opens the channel, registers the tags, starts the port and\n"
    "  the scan and switches the channel on. Commands, one a line on standard input:\n"
    "    write NAME [VALUE]   status [STATION]   reset [STATION]\n"
    "    enable STATION       disable STATION    on   off   stop   start   quit\n"
    "  Ctrl-C or the end of input stops the channel and ends the program.\n"
    "  --trace FOLDER  the driver writes every frame to FOLDER/<CONFIG's name>.trace\n"
    "                  (as KRANDOLIX_TRACE=FOLDER does for a host)\n"
    "usage: drvhost configure CONFIG\n"
    "  Opens the driver's settings dialog for CONFIG, as the host's settings menu does.\n";

// set by Ctrl-C (CatchInterrupts)
const std::atomic<bool>* g_interrupted = nullptr;

// ---- commands from standard input ----

std::mutex g_inputLock;
std::deque<std::string> g_input;

void ReadInput() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::lock_guard<std::mutex> hold(g_inputLock);
        g_input.push_back(line);
    }
    std::lock_guard<std::mutex> hold(g_inputLock);
    g_input.push_back("quit");
}

bool TakeInput(std::string* line) {
    std::lock_guard<std::mutex> hold(g_inputLock);
    if (g_input.empty()) return false;
    *line = g_input.front();
    g_input.pop_front();
    return true;
}

// ---- the terminal ----

struct Options {
    std::string config;
    std::vector<std::string> tagLines;
    bool jsonl = false;
    double duration = -1;
};

// Pads UTF-8 text with blanks to a width in terminal columns (Korean and
// other East Asian characters take two).
std::string Pad(const std::string& utf8, int columns) {
    int width = 0;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = c;
        int len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (len > 1) {
            cp = c & (0xFF >> (len + 1));
            for (int k = 1; k < len && i + k < utf8.size(); ++k)
                cp = (cp << 6) | (utf8[i + k] & 0x3F);
        }
        width += (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                         (cp >= 0xFF00 && cp <= 0xFF60)
                     ? 2
                     : 1;
        i += static_cast<size_t>(len);
    }
    return utf8 + std::string(width < columns ? static_cast<size_t>(columns - width) : 0, ' ');
}

// One channel's session shown on a terminal (a live view) or as JSON lines.
class Terminal {
public:
    Terminal(CHostSession& session, const Options& o, std::vector<std::string> stations)
        : m_session(session), m_opt(o), m_stations(std::move(stations)) {}

    int Run() {
        if (m_session.Open() < 0) {
            Flush();
            Say("{\"event\":\"error\",\"code\":-1,\"text\":" +
                    JsonString("cannot open the channel: " + m_opt.config) + "}",
                "채널을 열 수 없습니다: " + m_opt.config);
            return kExitFailed;
        }
        // (commands are read once the channel is open: a run that cannot open it
        // ends with no thread left waiting on standard input)
        std::thread(&ReadInput).detach();
        m_session.RegisterTags();
        for (const HostTag& t : m_session.Tags()) {
            Say("{\"event\":\"register\",\"tag\":" + JsonString(t.name) +
                    ",\"handle\":" + std::to_string(t.handle) + "}",
                t.name + (t.handle < 0 ? ": 등록 실패" : ""));
        }
        Flush();  // a refused address has logged its reason
        StartChannel();
        m_session.SetActive(nullptr, 1);

        auto begin = std::chrono::steady_clock::now();
        auto lastDraw = begin - std::chrono::seconds(1);
        bool quit = false;
        while (!quit) {
            Flush();
            std::string line;
            while (!quit && TakeInput(&line)) quit = Command(line);
            for (HostTag* t : m_session.TakeDoneWrites())
                Say("{\"event\":\"done\",\"tag\":" + JsonString(t->name) + "}",
                    t->name + " 쓰기 완료");
            if (*g_interrupted) quit = true;
            if (m_opt.duration >= 0 && std::chrono::steady_clock::now() - begin >=
                                           std::chrono::duration<double>(m_opt.duration)) {
                quit = true;
            }
            if (!m_opt.jsonl &&
                std::chrono::steady_clock::now() - lastDraw > std::chrono::milliseconds(300)) {
                Draw();
                lastDraw = std::chrono::steady_clock::now();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_session.Stop();
        Flush();
        if (!m_opt.jsonl) Draw();
        return 0;
    }

private:
    void StartChannel() {
        int32_t r = m_session.Start();
        Say("{\"event\":\"start\",\"result\":" + std::to_string(r) + "}",
            r == 0 ? "포트 열림" : "포트를 열 수 없음");
    }

    // A line for scripts (--jsonl) or for the live view's log.
    void Say(const std::string& json, const std::string& words) {
        if (m_opt.jsonl) {
            std::printf("%s\n", json.c_str());
            std::fflush(stdout);
        } else if (!words.empty()) {
            AddLog(words);
        }
    }

    void AddLog(const std::string& line) {
        m_log.push_back(Clock() + " " + line);
        while (m_log.size() > 12) m_log.pop_front();
    }

    static std::string Clock() { return LocalTimeStamp().substr(11, 8); }

    void Flush() {
        for (HostEvent& e : HostEvents::Take()) {
            if (e.kind == HostEvent::value) {
                const HostTag* t = m_session.Apply(e);
                if (!t || !m_opt.jsonl) continue;
                char v[32];
                std::snprintf(v, sizeof v, "%g", e.number);
                Say("{\"event\":\"value\",\"tag\":" + JsonString(t->name) + ",\"value\":" + v + "}",
                    "");
            } else if (e.kind == HostEvent::log) {
                Say("{\"event\":\"log\",\"kind\":\"" +
                        std::string(e.code == kLogFault ? "fault" : "info") +
                        "\",\"text\":" + JsonString(e.text) + "}",
                    (e.code == kLogFault ? "! " : "  ") + e.text);
            } else {
                Say("{\"event\":\"error\",\"code\":" + std::to_string(e.code) +
                        ",\"text\":" + JsonString(e.text) + "}",
                    "! " + e.text);
            }
        }
    }

    void Status(const std::string& stationUtf8) {
        std::string station;
        bool named = !stationUtf8.empty();
        if (named && !Utf8ToCp949(stationUtf8, &station)) station = stationUtf8;
        int32_t c[4] = {0, 0, 0, 0};
        int32_t r = m_session.Status(named ? station.c_str() : nullptr, c);
        std::string counters = "[" + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," +
                               std::to_string(c[2]) + "," + std::to_string(c[3]) + "]";
        Say("{\"event\":\"status\",\"station\":" + (named ? JsonString(stationUtf8) : "null") +
                ",\"result\":" + std::to_string(r) + ",\"counters\":" + counters + "}",
            (named ? stationUtf8 : "채널") + " 상태 " + std::to_string(r) + " " + counters);
    }

    // Returns true for quit.
    bool Command(const std::string& line) {
        std::istringstream in(line);
        std::string cmd, arg;
        in >> cmd;
        std::getline(in >> std::ws, arg);
        while (!arg.empty() && (arg.back() == ' ' || arg.back() == '\r')) arg.pop_back();
        std::string argCp949;
        if (!Utf8ToCp949(arg, &argCp949)) argCp949 = arg;
        if (cmd.empty()) return false;
        if (cmd == "quit") return true;
        if (cmd == "write") {
            std::string name = arg, value = "1";
            size_t space = arg.rfind(' ');
            if (space != std::string::npos && !m_session.FindTag(arg)) {
                name = arg.substr(0, space);
                value = arg.substr(space + 1);
            }
            int32_t r = m_session.Write(m_session.FindTag(name), std::atof(value.c_str()));
            Say("{\"event\":\"write\",\"tag\":" + JsonString(name) +
                    ",\"result\":" + std::to_string(r) + "}",
                name + " 쓰기 " + (r == 0 ? "요청" : "거부"));
        } else if (cmd == "status") {
            Status(arg);
        } else if (cmd == "reset") {
            m_session.ResetCounters(arg.empty() ? nullptr : argCp949.c_str());
        } else if (cmd == "enable" || cmd == "disable") {
            if (!arg.empty()) m_session.SetActive(argCp949.c_str(), cmd == "enable");
        } else if (cmd == "on" || cmd == "off") {
            m_session.SetActive(nullptr, cmd == "on");
        } else if (cmd == "stop") {
            m_session.Stop();
        } else if (cmd == "start") {
            StartChannel();
        } else {
            Say("{\"event\":\"error\",\"code\":0,\"text\":" +
                    JsonString("unknown command: " + line) + "}",
                "알 수 없는 명령: " + line);
        }
        return false;
    }

    void Draw() {
        std::string out = "\x1b[H\x1b[2J";
        out += "drvhost  " + m_opt.config +
               "   (write NAME, status, enable/disable STATION, on, off, quit)\n\n";
        out += Pad("태그", 26) + Pad("값", 6) + "마지막 변경\n";
        auto now = std::chrono::steady_clock::now();
        for (const HostTag& t : m_session.Tags()) {
            const bool output = t.place.IsOutput();
            std::string value = t.handle < 0 ? "등록 실패"
                                : t.hasValue ? (t.value != 0 ? "1" : "0")
                                : output     ? "출력"
                                             : "-";
            std::string age = "";
            if (t.hasValue) {
                double s = std::chrono::duration<double>(now - t.changed).count();
                char b[32];
                std::snprintf(b, sizeof b, "%.1f초 전", s);
                age = b;
            }
            if (t.writePending) age += "  (쓰기 대기)";
            out += "  " + Pad(t.name, 24) + Pad(value, 6) + age + "\n";
        }
        out += "\n" + Pad("스테이션", 16) + Pad("상태", 6) + " 제어  실패  폴링  실패\n";
        for (const std::string& s : m_stations) {
            int32_t c[4] = {0, 0, 0, 0};
            int32_t r = m_session.Status(s.c_str(), c);
            const char* state = r < 0 ? "꺼짐" : r == 0 ? "정상" : "이상";
            char counters[64];
            std::snprintf(counters, sizeof counters, "%5d %5d %5d %5d\n", c[0], c[1], c[2], c[3]);
            out += "  " + Pad(Cp949ToUtf8(s), 14) + Pad(state, 6) + counters;
        }
        out += "\n로그\n";
        for (const std::string& l : m_log) out += "  " + l + "\n";
        PrintText(stdout, out);
        std::fflush(stdout);
    }

    CHostSession& m_session;
    const Options& m_opt;
    std::vector<std::string> m_stations;  // CP949
    std::deque<std::string> m_log;
};

}  // namespace

// Slot 2 as the host's settings menu calls it: 0 when the dialog saved the
// file, 1 when it was cancelled or could not save (the driver has shown why).
// Linux has no dialog: slot 2 says so (on standard error) and this ends with 1.
int Configure(const std::string& path) {
    DriverTable drv;
    if (!drv.Loaded()) {
        PrintText(stderr, "drvhost: " + drv.Error() + "\n");
        return kExitFailed;
    }
    const int32_t saved = drv.Configure(path);
#if defined(_WIN32)
    return saved ? 0 : 1;
#else
    (void)saved;
    return 1;
#endif
}

// The options after "run CONFIG"; false (with the message printed) when
// they cannot be read.
bool ReadOptions(const std::vector<std::string>& args, Options* o) {
    o->config = NativePath(args[2]);
    for (size_t i = 3; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--jsonl") {
            o->jsonl = true;
        } else if (a == "--tag" && i + 1 < args.size()) {
            o->tagLines.push_back(args[++i]);
        } else if (a == "--tags" && i + 1 < args.size()) {
            if (!ReadTagFile(NativePath(args[++i]), &o->tagLines)) {
                PrintText(stderr, "drvhost: cannot read " + args[i] + "\n");
                return false;
            }
        } else if (a == "--trace" && i + 1 < args.size()) {
            const std::string folder = NativePath(args[++i]);
#if defined(_WIN32)
            SetEnvironmentVariableA("KRANDOLIX_TRACE", folder.c_str());
#else
            setenv("KRANDOLIX_TRACE", folder.c_str(), 1);
#endif
        } else if (a == "--duration" && i + 1 < args.size()) {
            o->duration = std::atof(args[++i].c_str());
        } else {
            PrintText(stderr, kUsage);
            return false;
        }
    }
    return true;
}

// Runs the channel with the given tags until quit, the duration or an
// interrupt; the exit status.
int RunChannel(const Options& o, std::vector<HostTag> tags) {
    DriverTable drv;
    if (!drv.Loaded()) {
        PrintText(stderr, "drvhost: " + drv.Error() + "\n");
        return kExitFailed;
    }
    HostEvents::Install();

    g_interrupted = &CatchInterrupts();
#if defined(_WIN32)
    // the live view moves the cursor with terminal sequences
    DWORD mode = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (GetConsoleMode(out, &mode)) SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
    // the station names for the live view
    CConfigData config;
    config.Load(o.config.c_str());
    std::vector<std::string> stations;
    for (const auto& s : config.Stations()) stations.push_back(s->GetName().Str());
    CHostSession session(drv, o.config, std::move(tags), 0x1000);
    return Terminal(session, o, std::move(stations)).Run();
}

int main(int argc, char** argv) {
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (args.size() == 2 && args[1] == "--version") {
        PrintText(stdout, "drvhost (Krandolix) " KRANDOLIX_VERSION "\n");
        return 0;
    }
    if (args.size() == 3 && args[1] == "configure") return Configure(NativePath(args[2]));
    if (args.size() < 3 || args[1] != "run") {
        PrintText(stderr, kUsage);
        return kExitUsage;
    }
    Options o;
    if (!ReadOptions(args, &o)) return kExitUsage;
    std::vector<HostTag> tags;
    for (const std::string& line : o.tagLines) {
        HostTag t;
        if (!ParseTagLine(line, &t)) {
            PrintText(stderr, "drvhost: a tag is NAME=DEVICE:ADDRESS, not " + line + "\n");
            return kExitUsage;
        }
        tags.push_back(t);
    }
    const int rc = RunChannel(o, std::move(tags));
    std::fflush(stdout);
    // the input thread may still wait for a line: end without unwinding it
    std::_Exit(rc);
}
