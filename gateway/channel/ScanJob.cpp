#include "gateway/channel/ScanJob.h"

#include <nlohmann/json.hpp>

#include "gateway/core/Command.h"

using nlohmann::json;

ScanJob::ScanJob(std::string channel, ScanPlan plan, bool allRates)
    : m_channel(std::move(channel)), m_plan(std::move(plan)), m_allRates(allRates) {
    m_thread = std::thread([this] { Run(); });
}

ScanJob::~ScanJob() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void ScanJob::Run() {
    m_end = ScanLine(m_plan, m_stop, *this, &m_results);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_progress.clear();
    }
    Tell(
        JsonText(json{
            {"channel", m_channel}, {"step", "end"}, {"cancelled", m_end == ScanEnd::interrupted}}),
        false);
    m_ended = true;
}

void ScanJob::Tell(std::string text, bool progress) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (progress)
        m_progress = std::move(text);
    else
        m_events.push_back(std::move(text));
}

void ScanJob::Polling(int baudIndex, int number, int done, int total) {
    Tell(JsonText(json{{"channel", m_channel},
                       {"step", "polling"},
                       {"baud", line::BaudOf(baudIndex)},
                       {"number", number},
                       {"done", done},
                       {"total", total}}),
         true);
}

void ScanJob::Answered(int baudIndex, const ScanAnswer& a) {
    Tell(JsonText(json{{"channel", m_channel},
                       {"step", "answered"},
                       {"baud", line::BaudOf(baudIndex)},
                       {"number", a.number},
                       {"status", a.status},
                       {"reply_ms", static_cast<double>(static_cast<int>(a.replyMs * 10)) / 10}}),
         false);
}

void ScanJob::Garbled(int baudIndex, const ScanGarbled& g) {
    Tell(JsonText(json{{"channel", m_channel},
                       {"step", "garbled"},
                       {"baud", line::BaudOf(baudIndex)},
                       {"number", g.number},
                       {"reason", g.reason}}),
         false);
}

std::vector<std::string> ScanJob::TakeEvents() {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::string> out;
    out.swap(m_events);
    // the progress before what was found since: the page's bar, then its rows
    if (!m_progress.empty()) out.insert(out.begin(), std::move(m_progress));
    m_progress.clear();
    return out;
}

std::pair<int, std::string> ScanJob::Answer() const {
    const std::string port = line::PortName(m_plan.line.m_nPort);
    switch (m_end) {
        case ScanEnd::cannotOpen:
            return {409, JsonText(json{{"error", port + " cannot be opened: it is missing, or "
                                                        "in use by another program"}})};
        case ScanEnd::lineFailed:
            return {409, JsonText(json{{"error", port + " failed during the scan (the device "
                                                        "is gone, or the line does not take "
                                                        "writes)"}})};
        default:
            break;
    }
    json answer = json::parse(ScanJson(port, m_allRates, m_results));
    if (m_end == ScanEnd::interrupted) answer["cancelled"] = true;
    return {200, JsonText(answer)};
}

std::string ScanJob::Summary() const {
    switch (m_end) {
        case ScanEnd::cannotOpen:
            return "the port cannot be opened";
        case ScanEnd::lineFailed:
            return "the line failed";
        default:
            break;
    }
    size_t answered = 0, garbled = 0;
    for (const ScanRateResult& r : m_results) {
        answered += r.answers.size();
        garbled += r.garbled.size();
    }
    return std::string(m_end == ScanEnd::interrupted ? "cancelled" : "done") + ", " +
           std::to_string(answered) + " answered, " + std::to_string(garbled) + " garbled";
}
