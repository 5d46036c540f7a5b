#include "gateway/metrics/Metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// A label's value: backslash, quote and line end escaped.
std::string Escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Number(double v) {
    if (std::isnan(v)) return "NaN";
    char text[40];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

}  // namespace

void MetricsText::Family(const char* name, const char* type, const char* help) {
    m_text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::Sample(const char* name, Labels labels, double value) {
    m_text += name;
    if (labels.size()) {
        m_text += '{';
        bool first = true;
        for (const auto& [key, v] : labels) {
            m_text += std::string(first ? "" : ",") + key + "=\"" + Escaped(v) + "\"";
            first = false;
        }
        m_text += '}';
    }
    m_text += " " + Number(value) + "\n";
}

void WriteCounts::Count(const std::string& channel, Origin origin, WriteResult result) {
    ++m_counts[{channel, origin, result}];
}

void WriteCounts::Put(MetricsText* out, const std::vector<std::string>& channels) const {
    out->Family("krandolix_writes_total", "counter",
                "Writes to outputs by channel, origin and outcome.");
    // Every series of a channel from the start, at 0: increase() sees a
    // series' first write only when the series was there before it.
    std::map<std::tuple<std::string, Origin, WriteResult>, uint64_t> counts = m_counts;
    for (const std::string& channel : channels)
        for (const auto& origin : kOrigins)
            for (const auto& result : kWriteResults)
                if (result.value != WriteResult::queued)
                    counts.emplace(std::make_tuple(channel, origin.value, result.value), 0);
    for (const auto& [key, n] : counts)
        out->Sample("krandolix_writes_total",
                    {{"channel", std::get<0>(key)},
                     {"origin", OriginName(std::get<1>(key))},
                     {"result", WriteResultName(std::get<2>(key))}},
                    static_cast<double>(n));
}

void PutProcessMetrics(MetricsText* out) {
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // the fields after the program's name (which may hold spaces) in its parentheses
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string f;
    double utime = 0, stime = 0, start = 0, rss = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = std::stod(f);
        if (i == 15) stime = std::stod(f);
        if (i == 22) start = std::stod(f);
        if (i == 24) rss = std::stod(f);
    }
    // the start is counted on the clock since boot (which goes on through a
    // suspend): the wall clock now, less the time since the start on that clock
    timespec wall{}, sinceBoot{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    const double started =
        static_cast<double>(wall.tv_sec) + wall.tv_nsec / 1e9 -
        (static_cast<double>(sinceBoot.tv_sec) + sinceBoot.tv_nsec / 1e9 - start / ticks);
    int fds = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) fds += e->d_name[0] != '.';
        ::closedir(d);
        --fds;  // (the folder's own)
    }
    out->Family("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.");
    out->Sample("process_cpu_seconds_total", {}, (utime + stime) / ticks);
    out->Family("process_resident_memory_bytes", "gauge", "Resident memory in bytes.");
    out->Sample("process_resident_memory_bytes", {},
                rss * static_cast<double>(::sysconf(_SC_PAGESIZE)));
    out->Family("process_open_fds", "gauge", "Open file descriptors.");
    out->Sample("process_open_fds", {}, fds);
    out->Family("process_start_time_seconds", "gauge",
                "Start time of the process since the epoch, in seconds.");
    out->Sample("process_start_time_seconds", {}, started);
}
