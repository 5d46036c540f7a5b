#include "gateway/sparkplug/SparkplugBuffer.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "gateway/core/Command.h"

namespace {

std::string Line(const SparkplugBuffer::Event& e) {
    const sparkplug::Metric& m = e.metric;
    nlohmann::json j = {{"d", e.device}, {"m", m.name}, {"t", m.datatype}, {"ts", m.timestamp}};
    if (m.kind == sparkplug::Metric::Kind::boolean)
        j["b"] = m.boolean;
    else if (m.kind == sparkplug::Metric::Kind::integer)
        j["i"] = m.integer;
    else if (m.kind == sparkplug::Metric::Kind::text)
        j["s"] = m.text;
    return JsonText(j) + "\n";
}

bool Parse(const std::string& line, SparkplugBuffer::Event* e) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("d") || !j["d"].is_string() || !j.contains("m") ||
        !j["m"].is_string() || !j.contains("t") || !j["t"].is_number_unsigned() ||
        !j.contains("ts") || !j["ts"].is_number_unsigned())
        return false;
    e->device = j["d"].get<std::string>();
    sparkplug::Metric& m = e->metric;
    m = sparkplug::Metric();
    m.name = j["m"].get<std::string>();
    m.hasDatatype = true;
    m.datatype = j["t"].get<uint32_t>();
    m.hasTimestamp = true;
    m.timestamp = j["ts"].get<uint64_t>();
    m.historical = true;
    if (j.contains("b") && j["b"].is_boolean()) {
        m.kind = sparkplug::Metric::Kind::boolean;
        m.boolean = j["b"].get<bool>();
    } else if (j.contains("i") && j["i"].is_number_unsigned()) {
        m.kind = sparkplug::Metric::Kind::integer;
        m.integer = j["i"].get<uint64_t>();
    } else if (j.contains("s") && j["s"].is_string()) {
        m.kind = sparkplug::Metric::Kind::text;
        m.text = j["s"].get<std::string>();
    } else {
        return false;
    }
    return true;
}

}  // namespace

SparkplugBuffer::~SparkplugBuffer() {
    if (m_file) std::fclose(m_file);
}

bool SparkplugBuffer::Open(const std::string& path, size_t bound, std::string* error) {
    m_path = path;
    m_bound = bound;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        Event e;
        if (!Parse(line, &e)) {
            ++m_dropped;
            continue;
        }
        m_events.push_back(std::move(e));
        // (beyond the bound: dropped, and counted, in the run that dropped
        // them; the file keeps them until it is next rewritten)
        if (m_events.size() > m_bound) m_events.pop_front();
    }
    in.close();
    Rewrite();
    if (!m_file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void SparkplugBuffer::Add(const Event& e) {
    if (m_bound == 0) {
        ++m_dropped;
        return;
    }
    m_events.push_back(e);
    m_events.back().metric.historical = true;
    m_events.back().metric.hasTimestamp = true;
    if (m_events.size() > m_bound) {
        m_events.pop_front();
        ++m_dropped;
    }
    if (!m_file) return;
    const std::string line = Line(e);
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
    // the dropped ones leave the file once it holds twice the bound
    if (++m_lines > 2 * m_bound) Rewrite();
}

void SparkplugBuffer::Clear() {
    m_events.clear();
    Rewrite();
}

void SparkplugBuffer::Rewrite() {
    if (m_file) std::fclose(m_file);
    const std::string fresh = m_path + ".new";
    m_file = std::fopen(fresh.c_str(), "w");
    if (!m_file) return;
    for (const Event& e : m_events) {
        const std::string line = Line(e);
        std::fwrite(line.data(), 1, line.size(), m_file);
    }
    std::fflush(m_file);
    if (std::rename(fresh.c_str(), m_path.c_str()) != 0) {
        std::fclose(m_file);
        m_file = nullptr;
        return;
    }
    m_lines = m_events.size();
}
