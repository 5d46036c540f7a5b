// The page's side of the sink: what the channels tell kept for the state
// (PageViews, under its own lock) and handed as events to the streams (under
// the server's lock); the names the page reads its words from.
#include <nlohmann/json.hpp>

#include "gateway/channel/ScanJob.h"
#include "gateway/history/History.h"
#include "gateway/web/WebServer.h"

using nlohmann::json;

namespace {

// How long an event waits before it goes to the streams (see FlushDue).
const auto kFanoutDelay = std::chrono::milliseconds(5);
// Event text waiting for one stream; a client that falls further behind is
// closed and reconnects (and reads the whole state again).
const size_t kStreamBacklog = 1 << 20;
// A quiet stream says something this often, so that a client gone is noticed.
const auto kKeepAlive = std::chrono::seconds(15);

// A station's counters, by the keys StationStateJson gives them.
const std::pair<const char*, const char*> kCounterLabels[] = {
    {"controls", "제어 (controls)"},
    {"control_failures", "제어 실패 (failed)"},
    {"polls", "폴링 (polls)"},
    {"poll_failures", "폴링 실패 (failed)"},
};

template <typename E, size_t N>
json Words(const Named<E> (&table)[N]) {
    json words = json::object();
    for (const Named<E>& n : table)
        if (*n.name) words[n.name] = n.words;
    return words;
}

}  // namespace

std::string WebServer::NamesJson() {
    json counters = json::array();
    for (const auto& [key, label] : kCounterLabels) counters.push_back({key, label});
    return JsonText(
        json{{"channel_states", Words(kChannelStates)},
             {"station_states", Words(kStationHealths)},
             {"write_results", Words(kWriteResults)},
             {"refusals", Words(kRefusals)},
             {"broker_states", Words(kBrokerStates)},
             {"log_kinds", Words(kLogKinds)},
             {"scan_reasons", Words(kScanReasons)},
             {"station_actions", Words(kStationActions)},
             {"history_kinds", Words(kHistoryKinds)},
             {"counters", counters},
             // what the page offers unless told otherwise
             {"limits", {{"history_page", kHistoryPage}, {"scan_timeout_ms", kScanTimeoutMs}}}});
}

// (with m_lock held) Every stream gets the event; the server's one thread
// writes it to each as its socket takes it, once Flush hands it over.
void WebServer::Publish(const std::string& event, const std::string& data) {
    if (m_streams.empty()) return;
    const std::string message = "event: " + event + "\ndata: " + data + "\n\n";
    for (auto& stream : m_streams) {
        if (stream->dropped) continue;
        if (stream->queue.size() + message.size() > kStreamBacklog) {
            stream->dropped = true;
            stream->queue.clear();
        } else {
            stream->queue += message;
        }
    }
    if (m_flushDue == std::chrono::steady_clock::time_point::max())
        m_flushDue = std::chrono::steady_clock::now() + kFanoutDelay;
}

std::chrono::steady_clock::time_point WebServer::FlushDue() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_flushDue;
}

void WebServer::Flush() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_flushDue = std::chrono::steady_clock::time_point::max();
    for (auto& stream : m_streams)
        if (!stream->queue.empty() || stream->dropped) Wake(*stream);
}

void WebServer::RefreshStations(const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    const std::vector<PageViews::Event> events = m_views.Refresh(channels);
    std::lock_guard<std::mutex> hold(m_lock);
    for (const PageViews::Event& e : events) Publish(e.name, e.json);
    // a quiet stream says something now and then, so that a client gone is noticed
    const auto now = std::chrono::steady_clock::now();
    Reap(now);
    // a stream keeps its session alive; one whose session has ended closes
    for (auto& stream : m_streams) {
        if (stream->session.empty() || stream->dropped || m_sessions.Touch(stream->session, now))
            continue;
        stream->dropped = true;
        stream->queue.clear();
        Wake(*stream);
    }
    if (m_nextKeepAlive == std::chrono::steady_clock::time_point())
        m_nextKeepAlive = now + kKeepAlive;
    if (now >= m_nextKeepAlive) {
        m_nextKeepAlive = now + kKeepAlive;
        for (auto& stream : m_streams) {
            if (stream->dropped) continue;
            stream->queue += ": still here\n\n";
            Wake(*stream);
        }
    }
}

void WebServer::OnWriteResult(const std::string&, const std::string&, const CommandReply& outcome,
                              const CommandTicket& ticket) {
    // only the page's own waits, by the number the gateway gave them
    if (ticket.origin != Origin::web) return;
    if (!IsFinalResult(outcome.result)) return;
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_awaiting.find(ticket.id);
    if (it == m_awaiting.end()) return;
    Finish(*it->second->exchange, Answer(outcome));
    m_awaiting.erase(it);
}

void WebServer::SetChannels(const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    m_views.Set(channels);
    // the page reads the state again: the channels or their stations may differ
    std::lock_guard<std::mutex> hold(m_lock);
    Publish("channels", "{}");
}

void WebServer::Tell(const PageViews::Event& event) {
    if (event.name.empty()) return;
    std::lock_guard<std::mutex> hold(m_lock);
    Publish(event.name, event.json);
}

void WebServer::SetBroker(bool connected) {
    Tell(m_views.Broker(connected));
}

std::string WebServer::StateJson() const {
    return m_views.StateJson(m_gatewayId, m_history != nullptr);
}

void WebServer::OnValue(const std::string& channel, const std::string& tag, double value) {
    Tell(m_views.Value(channel, tag, value));
}

void WebServer::OnStation(const std::string& channel, const std::string& station,
                          const StationState& state) {
    Tell(m_views.Station(channel, station, state));
}

void WebServer::OnChannelState(const std::string& channel, ChannelState state) {
    Tell(m_views.State(channel, state));
}

void WebServer::OnLog(const std::string& channel, bool fault, const std::string& text) {
    Tell(m_views.Log(channel, fault, text));
}
