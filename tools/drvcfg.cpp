// drvcfg: reads, creates and changes the driver's configuration files from a
// command line, with the same checks as the settings dialogs. Texts for a
// person go to the terminal (a Windows console as UTF-16), JSON and redirected
// output are UTF-8; the file keeps CP949.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ConfigJson.h"
#include "config/ConfigData.h"
#include "config/LineSettings.h"
#include "config/StationRules.h"
#include "driver/DriverStrings.h"
#include "host/ZeravError.h"
#include "krandolix_version.h"
#include "platform/Args.h"
#include "platform/CString.h"
#include "platform/Encoding.h"
#include "platform/ExitCodes.h"
#include "platform/File.h"
#include "platform/NoCase.h"
#include "platform/Numbers.h"

namespace {

const char kUsage[] =
    "usage: drvcfg new FILE [--force]\n"
    "       drvcfg show FILE [--json]\n"
    "       drvcfg set FILE [--port COMn] [--baud N] [--parity none|even|odd]\n"
    "                       [--data-bits 7|8] [--stop-bits 1|2] [--delay MS]\n"
    "                       [--timeout S] [--retries N]\n"
    "       drvcfg add-station FILE --name NAME --number N [--description TEXT]\n"
    "                               [--period SECONDS]\n"
    "       drvcfg edit-station FILE NAME [--name NAME] [--number N]\n"
    "                               [--description TEXT] [--period SECONDS]\n"
    "       drvcfg remove-station FILE NAME\n";

struct UsageError {};
struct Refused {
    int code;
};

int Usage() {
    PrintText(stderr, kUsage);
    return kExitUsage;
}

// Shows a message of the driver's or the host library's through the host's
// error reporting, which hands it to PrintMessage (not a message box).
void ShowMessage(int code) {
    CZeravError::ErrMsg(code, 0);
}

void PrintMessage(int, const char* text, int, const char* const*) {
    PrintText(stderr, Cp949ToUtf8(text ? text : "") + "\n");
}

void Fail(const std::string& utf8) {
    PrintText(stderr, "drvcfg: " + utf8 + "\n");
}

// printf for a person: formatted, then shown as PrintText shows it.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    PrintText(stdout, text);
}

// Options given as --name value pairs after the positional arguments.
class Options {
public:
    Options(const std::vector<std::string>& argv, size_t first,
            const std::vector<std::string>& flags, const std::vector<std::string>& valued) {
        const size_t argc = argv.size();
        for (size_t i = first; i < argc; ++i) {
            std::string a = argv[i];
            if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
                m_values[a] = "";
            } else if (std::find(valued.begin(), valued.end(), a) != valued.end() && i + 1 < argc) {
                if (m_values.count(a)) throw UsageError{};
                m_values[a] = argv[++i];
            } else {
                throw UsageError{};
            }
        }
    }
    bool Has(const std::string& k) const { return m_values.count(k) != 0; }
    const std::string& Get(const std::string& k) const { return m_values.at(k); }
    bool Empty() const { return m_values.empty(); }

private:
    std::map<std::string, std::string> m_values;
};

long long Integer(const std::string& text) {
    long long v = 0;
    if (!ParseWholeNumber(text, 10, LLONG_MIN, LLONG_MAX, &v)) throw UsageError{};
    return v;
}

std::string ToCp949(const std::string& utf8, const char* what) {
    std::string out;
    if (!Utf8ToCp949(utf8, &out)) {
        Fail(std::string(what) + "에 CP949로 나타낼 수 없는 문자가 있습니다: " + utf8);
        throw Refused{0};
    }
    return out;
}

int LoadOrReport(CConfigData* config, const char* path) {
    int code = config->Load(path);
    if (code != 0) ShowMessage(code);
    return code;
}

int SaveOrReport(CConfigData* config, const char* path) {
    int code = config->Save(path);
    if (code != 0) {
        ShowMessage(code);
        return kExitRefused;
    }
    return 0;
}

// ---- show ----

using line::kParityNames;

std::string PeriodSeconds(int ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", ms / 1000.0);
    return buf;
}

void ShowJson(const CConfigData& c) {
    const std::string out = ConfigJson(c) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
}

void ShowWords(const CConfigData& c, const char* path) {
    const int32_t baud = line::BaudOf(c.GetBaudRate());
    Say("설정 파일      %s\n", path);
    Say("포트           %s\n", c.GetPort() >= 0
                                   ? line::PortName(c.GetPort()).c_str()
                                   : ("(" + std::to_string(c.GetPort()) + ")").c_str());
    if (baud > 0) {
        Say("통신 속도      %d bps\n", static_cast<int>(baud));
    } else {
        Say("통신 속도      (%d)\n", c.GetBaudRate());
    }
    if (c.GetParity() >= 0 && c.GetParity() < line::kParityCount) {
        Say("Parity         %s\n", kParityNames[c.GetParity()]);
    } else {
        Say("Parity         (%d)\n", c.GetParity());
    }
    Say("Data Bits      %d\n", c.GetDataBits() ? 8 : 7);
    Say("Stop Bits      %d\n", c.GetStopBits() ? 2 : 1);
    Say("통신 지연 시간 %d mSec.\n", c.GetDelay());
    Say("Timeout        %d ms\n", c.GetTimeout());
    Say("재시도회수     %d\n", c.GetRetries());
    Say("스테이션       %d\n", c.GetStationCount());
    for (const auto& s : c.Stations()) {
        Say("  %-16s 국번 %3d  통신 주기 %s초  %s\n", Cp949ToUtf8(s->GetName().Str()).c_str(),
            s->GetStationNo(), PeriodSeconds(s->GetPollPeriod()).c_str(),
            Cp949ToUtf8(s->GetDescription().Str()).c_str());
    }
}

// ---- changes ----

void Check(int id) {
    if (id != 0) throw Refused{id};
}

void ApplySettings(CConfigData* c, const Options& o) {
    if (o.Has("--port")) {
        const std::string& p = o.Get("--port");
        if (p.size() < 4 || StrICmp(p.substr(0, 3).c_str(), "COM") != 0) throw Refused{2719};
        long long n = Integer(p.substr(3));
        Check(CheckPort(n - 1));
        c->SetPort(static_cast<int>(n - 1));
    }
    if (o.Has("--baud")) {
        long long baud = Integer(o.Get("--baud"));
        int index = line::BaudIndexOf(baud);
        Check(CheckBaudRate(index));
        c->SetBaudRate(index);
    }
    if (o.Has("--parity")) {
        int index = -1;
        for (int i = 0; i < line::kParityCount; ++i) {
            if (StrICmp(o.Get("--parity").c_str(), kParityNames[i]) == 0) index = i;
        }
        Check(CheckParity(index));
        c->SetParity(index);
    }
    if (o.Has("--data-bits")) {
        long long bits = Integer(o.Get("--data-bits"));
        int index = line::IndexIn(line::kDataBits, bits);
        Check(CheckDataBits(index));
        c->SetDataBits(index);
    }
    if (o.Has("--stop-bits")) {
        long long bits = Integer(o.Get("--stop-bits"));
        int index = line::IndexIn(line::kStopBits, bits);
        Check(CheckStopBits(index));
        c->SetStopBits(index);
    }
    if (o.Has("--delay")) {
        long long ms = Integer(o.Get("--delay"));
        Check(CheckDelay(ms));
        c->SetDelay(static_cast<int>(ms));
    }
    if (o.Has("--timeout")) {
        long long s = Integer(o.Get("--timeout"));
        Check(CheckTimeoutSeconds(s));
        c->SetTimeout(static_cast<int>(s * 1000));
    }
    if (o.Has("--retries")) {
        long long n = Integer(o.Get("--retries"));
        Check(CheckRetries(n));
        c->SetRetries(static_cast<int>(n));
    }
}

const CStationData* FindByNumber(const CConfigData& c, int number) {
    for (const auto& s : c.Stations()) {
        if (s->GetStationNo() == number) return s.get();
    }
    return nullptr;
}

// Checks and writes a station's entries; self is null for a new station.
void ApplyStation(CConfigData* c, CStationData* target, const CStationData* self,
                  const Options& o) {
    std::string name = o.Has("--name") ? ToCp949(o.Get("--name"), "이름") : target->GetName().Str();
    std::string description = o.Has("--description") ? ToCp949(o.Get("--description"), "설명")
                                                     : target->GetDescription().Str();
    long long number = o.Has("--number") ? Integer(o.Get("--number")) : target->GetStationNo();
    if (number < -2147483647LL || number > 2147483647LL) number = -1;
    std::string period =
        o.Has("--period") ? o.Get("--period") : PeriodSeconds(target->GetPollPeriod());

    int periodMs = 0;
    StationField field;
    Check(CheckStationEntry(StationEntry{name.c_str(), static_cast<int>(number), period.c_str()},
                            self, c->FindStation(name.c_str()),
                            FindByNumber(*c, static_cast<int>(number)), &periodMs, &field));
    target->SetDescription(description.c_str());
    target->SetName(name.c_str());
    target->SetStationNo(static_cast<int>(number));
    if (o.Has("--period")) target->SetPollPeriod(periodMs);
}

// Each command: the file as the system calls it (path) and as a person
// reads it (shown), the arguments after the path.
struct Target {
    const std::vector<std::string>& argv;
    const char* path;
    const std::string& shown;
};

int New(const Target& t) {
    Options o(t.argv, 3, {"--force"}, {});
    if (PathExists(t.path) && !o.Has("--force")) {
        Fail(std::string("이미 있는 파일입니다 (덮어쓰려면 --force): ") + t.shown);
        return kExitRefused;
    }
    CConfigData config;
    return SaveOrReport(&config, t.path);
}

int Show(const Target& t) {
    Options o(t.argv, 3, {"--json"}, {});
    CConfigData config;
    if (LoadOrReport(&config, t.path) != 0) return kExitFailed;
    if (o.Has("--json")) {
        ShowJson(config);
    } else {
        ShowWords(config, t.shown.c_str());
    }
    return 0;
}

int Set(const Target& t) {
    Options o(t.argv, 3, {},
              {"--port", "--baud", "--parity", "--data-bits", "--stop-bits", "--delay", "--timeout",
               "--retries"});
    if (o.Empty()) throw UsageError{};
    CConfigData config;
    if (LoadOrReport(&config, t.path) != 0) return kExitFailed;
    ApplySettings(&config, o);
    return SaveOrReport(&config, t.path);
}

int AddStation(const Target& t) {
    Options o(t.argv, 3, {}, {"--name", "--number", "--description", "--period"});
    if (!o.Has("--name") || !o.Has("--number")) throw UsageError{};
    CConfigData config;
    if (LoadOrReport(&config, t.path) != 0) return kExitFailed;
    auto station = std::make_unique<CStationData>();
    ApplyStation(&config, station.get(), nullptr, o);
    if (!o.Has("--period")) station->SetPollPeriod(1000);
    config.AddStation(station.release());
    return SaveOrReport(&config, t.path);
}

// The list without the station at index, in the same order.
void RemoveStationAt(CConfigData* config, int index) {
    std::vector<CStationData*> keep;
    for (int i = 0; i < config->GetStationCount(); ++i) {
        if (i == index) continue;
        auto* copy = new CStationData;
        copy->CopyFrom(*config->GetStationAt(i));
        keep.push_back(copy);
    }
    config->RemoveAllStations();
    for (CStationData* s : keep) config->AddStation(s);
}

int EditOrRemoveStation(const Target& t, bool edit) {
    if (t.argv.size() < 4) throw UsageError{};
    std::string name;
    if (!Utf8ToCp949(t.argv[3], &name)) name = t.argv[3];
    Options o = edit ? Options(t.argv, 4, {}, {"--name", "--number", "--description", "--period"})
                     : Options(t.argv, 4, {}, {});
    CConfigData config;
    if (LoadOrReport(&config, t.path) != 0) return kExitFailed;
    int index = config.FindStationIndex(name.c_str());
    if (index < 0) {
        Fail(std::string("그런 이름의 스테이션이 없습니다: ") + t.argv[3]);
        return kExitRefused;
    }
    if (edit) {
        CStationData* station = config.GetStationAt(index);
        ApplyStation(&config, station, station, o);
    } else {
        RemoveStationAt(&config, index);
    }
    return SaveOrReport(&config, t.path);
}

int Run(const std::vector<std::string>& argv) {
    if (argv.size() < 3) return Usage();
    const std::string& command = argv[1];
    const std::string native = NativePath(argv[2]);  // for the file calls
    const Target t{argv, native.c_str(), argv[2]};
    if (command == "new") return New(t);
    if (command == "show") return Show(t);
    if (command == "set") return Set(t);
    if (command == "add-station") return AddStation(t);
    if (command == "edit-station") return EditOrRemoveStation(t, true);
    if (command == "remove-station") return EditOrRemoveStation(t, false);
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    CZeravError::AddStringSource(&LookUpCatalogueString);
    CZeravError::SetHandler(&PrintMessage);
    try {
        const std::vector<std::string> args = Utf8Arguments(argc, argv);
        if (args.size() == 2 && args[1] == "--version") {
            PrintText(stdout, "drvcfg (Krandolix) " KRANDOLIX_VERSION "\n");
            return 0;
        }
        return Run(args);
    } catch (const UsageError&) {
        return Usage();
    } catch (const Refused& r) {
        if (r.code) ShowMessage(r.code);
        return kExitRefused;
    }
}
