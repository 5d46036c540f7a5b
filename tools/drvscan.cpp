// drvscan: which stations answer on a line, and at which speed. Opens the port
// through the driver's own serial line (the same settings and the same lock as
// a channel), sends each station number the poll frame the driver sends and
// reads the replies with the driver's own decoder.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "LineScan.h"
#include "channel/Rs485.h"
#include "channel/SerialLine.h"
#include "config/LineSettings.h"
#include "krandolix_version.h"
#include "platform/Args.h"
#include "platform/ExitCodes.h"
#include "platform/NoCase.h"
#include "platform/Numbers.h"
#include "protocol/FrameText.h"

namespace {

std::string Usage() {
    return "usage: drvscan COMn [--baud N|all] [--parity none|even|odd] [--data-bits 7|8]\n"
           "                    [--stop-bits 1|2] [--from N] [--to N] [--timeout MS] [--json]\n"
           "                    [--rs485 [--rts-on-send|--rts-after-send] [--delay-before-send "
           "MS]\n"
           "                             [--delay-after-send MS]]\n"
           "  Polls every station number from --from to --to (default 0-254) once and shows\n"
           "  which answer: number, status byte, reply time. --baud all tries the nine rates\n"
           "  and counts the answers at each. --timeout: how long to wait for each station\n"
           "  (default " +
           std::to_string(kScanTimeoutMs) +
           " ms). --rs485 (Linux): the UART's RS-485 mode first, as the gateway\n"
           "  sets it ([ports] rs485 = true): RTS on while sending (--rts-on-send, the default)\n"
           "  or after (--rts-after-send), with its delays in ms (0-100).\n"
           "  Exit status: 0 done, 2 the port cannot be used,\n"
           "  64 a command line that makes no sense, 130 interrupted (what was found is shown).\n";
}

const char kGarbled[] = "answers, but garbled: check speed, parity and wiring";

// set by Ctrl-C (CatchInterrupts)
const std::atomic<bool>* g_interrupted = nullptr;

struct Options {
    CLineSettings line;
    bool allRates = false;
    int from = line::kStationNumber.low;
    int to = line::kStationNumber.high;
    int timeoutMs = kScanTimeoutMs;
    bool json = false;
    Rs485Settings rs485;
};

bool ParseInt(const std::string& text, long low, long high, long* out) {
    long long v = 0;
    if (!ParseWholeNumber(text, 10, low, high, &v)) return false;
    *out = static_cast<long>(v);
    return true;
}

bool ParseArgs(const std::vector<std::string>& args, Options* o) {
    if (args.size() < 2) return false;
    const std::string& port = args[1];
    long n = 0;
    if (port.size() < 4 || !SameName(port.substr(0, 3).c_str(), "COM") ||
        !ParseInt(port.substr(3), 1, line::kPortCount, &n)) {
        return false;
    }
    o->line.m_nPort = static_cast<int32_t>(n - 1);
    bool rs485Asked = false, rtsChosen = false;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            o->json = true;
            continue;
        }
        if (a == "--rs485") {
            o->rs485.enabled = true;
            continue;
        }
        if (a == "--rts-on-send" || a == "--rts-after-send") {
            if (rtsChosen) return false;  // one or the other
            rtsChosen = rs485Asked = true;
            o->rs485.rtsOnSend = a == "--rts-on-send";
            o->rs485.rtsAfterSend = !o->rs485.rtsOnSend;
            continue;
        }
        if (i + 1 >= args.size()) return false;
        const std::string& v = args[++i];
        long x = 0;
        if (a == "--baud") {
            if (v == "all") {
                o->allRates = true;
            } else if (!ParseInt(v, 1, 1000000, &x) || line::BaudIndexOf(x) < 0) {
                return false;
            } else {
                o->line.m_nBaudRate = line::BaudIndexOf(x);
            }
        } else if (a == "--parity") {
            int index = -1;
            for (int k = 0; k < line::kParityCount; ++k)
                if (v == line::kParityNames[k]) index = k;
            if (index < 0) return false;
            o->line.m_nParity = index;
        } else if (a == "--data-bits") {
            if (!ParseInt(v, 0, 99, &x) || line::IndexIn(line::kDataBits, x) < 0) return false;
            o->line.m_nDataBits = line::IndexIn(line::kDataBits, x);
        } else if (a == "--stop-bits") {
            if (!ParseInt(v, 0, 99, &x) || line::IndexIn(line::kStopBits, x) < 0) return false;
            o->line.m_nStopBits = line::IndexIn(line::kStopBits, x);
        } else if (a == "--from" || a == "--to") {
            if (!ParseInt(v, line::kStationNumber.low, line::kStationNumber.high, &x)) return false;
            (a == "--from" ? o->from : o->to) = static_cast<int>(x);
        } else if (a == "--timeout") {
            if (!ParseInt(v, 1, 60000, &x)) return false;
            o->timeoutMs = static_cast<int>(x);
        } else if (a == "--delay-before-send" || a == "--delay-after-send") {
            if (!ParseInt(v, 0, kRs485MaxDelayMs, &x)) return false;
            rs485Asked = true;
            (a == "--delay-before-send" ? o->rs485.delayBeforeSendMs : o->rs485.delayAfterSendMs) =
                static_cast<int>(x);
        } else {
            return false;
        }
    }
    // the RS-485 settings mean something with --rs485 only
    if (rs485Asked && !o->rs485.enabled) return false;
#if defined(_WIN32)
    if (o->rs485.enabled) return false;  // Windows: the port's own driver sets its mode
#endif
    return o->from <= o->to;
}

// The progress bar on a terminal, on standard error.
class Progress : public ScanObserver {
public:
    Progress(bool shown, std::string port) : m_shown(shown), m_port(std::move(port)) {}
    void Polling(int baudIndex, int number, int done, int total) override {
        m_total = total;
        Show(done + 1, m_port + " " + std::to_string(line::BaudOf(baudIndex)) + " #" +
                           std::to_string(number));
    }
    void Show(int done, const std::string& what) {
        if (!m_shown) return;
        const int width = 30;
        int filled = m_total > 0 ? done * width / m_total : width;
        std::string bar = "\r[" + std::string(static_cast<size_t>(filled), '#') +
                          std::string(static_cast<size_t>(width - filled), '.') + "] " +
                          std::to_string(done) + "/" + std::to_string(m_total) + "  " + what + "  ";
        PrintText(stderr, bar);
        std::fflush(stderr);
    }
    void Clear() {
        if (!m_shown) return;
        PrintText(stderr, "\r" + std::string(72, ' ') + "\r");
        std::fflush(stderr);
    }

private:
    bool m_shown;
    std::string m_port;
    int m_total = 1;
};

std::string Describe(const CLineSettings& s) {
    return std::to_string(line::BaudOf(s.m_nBaudRate)) + " baud, parity " +
           line::kParityNames[s.m_nParity] + ", " + std::to_string(line::kDataBits[s.m_nDataBits]) +
           " data bits, " + std::to_string(line::kStopBits[s.m_nStopBits]) + " stop bit" +
           (s.m_nStopBits ? "s" : "");
}

std::string PortText(const Options& o) {
    return line::PortName(o.line.m_nPort);
}

std::string Fixed(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

std::string Pad(const std::string& s, size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

std::string Text(const Options& o, const std::vector<ScanRateResult>& results, bool interrupted) {
    std::string out = PortText(o) + " — " + (o.allRates ? "9 rates" : Describe(o.line)) +
                      "; 국번 (stations) " + std::to_string(o.from) + "-" + std::to_string(o.to) +
                      ", time-out " + std::to_string(o.timeoutMs) + " ms\n";
    if (o.allRates) {
        size_t best = 0;
        for (size_t i = 0; i < results.size(); ++i)
            if (results[i].answers.size() > results[best].answers.size()) best = i;
        out += "  속도 (baud)  응답 (answered)  garbled\n";
        for (size_t i = 0; i < results.size(); ++i) {
            const ScanRateResult& r = results[i];
            out += "  " + Pad(std::to_string(line::BaudOf(r.baudIndex)), 10) +
                   Pad(std::to_string(r.answers.size()), 17) +
                   Pad(std::to_string(r.garbled.size()), 9) +
                   (i == best && !r.answers.empty() ? "   <- " + std::string("이 속도 (this rate)")
                                                    : "") +
                   "\n";
        }
    } else {
        const ScanRateResult& r = results.front();
        if (!r.answers.empty()) out += "  국번  상태   비트 7..0  응답 시간 (reply)\n";
        for (const ScanAnswer& a : r.answers) {
            char status[8];
            std::snprintf(status, sizeof status, "0x%02X", a.status);
            out += "  " + Pad(std::to_string(a.number), 4) + "  " + status + "  " +
                   StatusBits(a.status) + "  " + Pad(Fixed(a.replyMs), 6) + " ms\n";
        }
        for (const ScanGarbled& g : r.garbled) {
            out += "  " + Pad(std::to_string(g.number), 4) + "  " + kGarbled + " (" +
                   (g.reason[0] == 'c' ? "check character" : "another station's number") + ")\n";
        }
        const std::string all = std::to_string(o.to - o.from + 1),
                          answered = std::to_string(r.answers.size()),
                          garbled = std::to_string(r.garbled.size());
        out += "국번 " + all + "개 중 응답 " + answered + ", garbled " + garbled + " (" + answered +
               " of " + all + " answered, " + garbled + " garbled)\n";
    }
    if (interrupted) out += "중단됨 (interrupted): 여기까지 찾은 결과입니다 (found so far)\n";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (args.size() == 2 && args[1] == "--version") {
        PrintText(stdout, "drvscan (Krandolix) " KRANDOLIX_VERSION "\n");
        return 0;
    }
    if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
        PrintText(stdout, Usage().c_str());
        return 0;
    }
    Options o;
    if (!ParseArgs(args, &o)) {
        PrintText(stderr, Usage().c_str());
        return kExitUsage;
    }
    g_interrupted = &CatchInterrupts();
#if !defined(_WIN32)
    std::string refused;
    if (!ApplyRs485(CSerialLine::DeviceName(o.line.m_nPort), o.rs485, &refused)) {
        PrintText(stderr, "drvscan: " + PortText(o) + ": " + refused + "\n");
        return kExitFailed;
    }
#endif

    ScanPlan plan;
    plan.line = o.line;
    plan.from = o.from;
    plan.to = o.to;
    plan.timeoutMs = o.timeoutMs;
    if (o.allRates) {
        for (int i = 0; i < line::kBaudRateCount; ++i) plan.rates.push_back(i);
    } else {
        plan.rates.push_back(o.line.m_nBaudRate);
    }
    Progress progress(!o.json && IsTerminal(stdout), PortText(o));
    std::vector<ScanRateResult> results;
    const ScanEnd end = ScanLine(plan, *g_interrupted, progress, &results);
    progress.Clear();
    if (end == ScanEnd::cannotOpen) {
        PrintText(stderr, "drvscan: " + PortText(o) + " (" +
                              CSerialLine::DeviceName(o.line.m_nPort) +
                              ") cannot be opened: it is missing, or in use by another program "
                              "(a running channel holds its port)\n");
        return kExitFailed;
    }
    if (end == ScanEnd::lineFailed) {
        PrintText(stderr, "drvscan: " + PortText(o) +
                              " failed during the scan (the device is gone, or the line does "
                              "not take writes)\n");
        return kExitFailed;
    }
    const bool interrupted = end == ScanEnd::interrupted;
    if (o.json) {
        const std::string json = ScanJson(PortText(o), o.allRates, results) + "\n";
        std::fwrite(json.data(), 1, json.size(), stdout);
    } else {
        PrintText(stdout, Text(o, results, interrupted));
    }
    std::fflush(stdout);
    return interrupted ? kExitInterrupted : 0;
}
