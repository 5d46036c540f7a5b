// What the page shows: the channels as their sink tells them, the state the
// API gives, and the events handed to the streams (WebServer's view side,
// fed on the gateway's thread).
#include <nlohmann/json.hpp>

#include "gateway/channel/ScanJob.h"
#include "gateway/history/History.h"
#include "gateway/web/WebServer.h"
#include "platform/Tick.h"

using nlohmann::json;

namespace {

// How long an event waits before it goes to the streams (see FlushDue).
const auto kFanoutDelay = std::chrono::milliseconds(5);
// Event text waiting for one stream; a client that falls further behind is
// closed and reconnects (and reads the whole state again).
const size_t kStreamBacklog = 1 << 20;
const size_t kLogTail = 100;
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
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& ch : channels) {
        ChannelView* view = ch ? Find(ch->Name()) : nullptr;
        if (!view) continue;
        const std::vector<GatewayChannel::Station>& stations = ch->Stations();
        for (size_t i = 0; i < stations.size() && i < view->stations.size(); ++i) {
            if (!stations[i].told || stations[i].last == view->stations[i].state) continue;
            view->stations[i].state = stations[i].last;
            Publish("station", JsonText(StationObject(view->name, view->stations[i])));
        }
    }
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
    std::vector<ChannelView> views;
    for (const auto& ch : channels) {
        if (!ch) continue;
        ChannelView v;
        v.name = ch->Name();
        v.state = ch->State();
        for (const GatewayChannel::Station& st : ch->Stations()) {
            StationView s;
            s.name = st.name;
            s.number = st.number;
            s.state = st.last;
            if (!st.told) s.state.state = StationHealth::unknown;
            v.stations.push_back(s);
        }
        const std::vector<HostTag>& tags = ch->Tags();
        for (size_t i = 0; i < tags.size(); ++i) {
            v.tags.push_back(TagView{tags[i].name, tags[i].hasValue, tags[i].value});
            int station = -1, bit = 0;
            bool output = false;
            ch->TagPlace(i, &station, &bit, &output);
            if (station < 0 || tags[i].handle < 0) continue;
            StationView& s = v.stations[static_cast<size_t>(station)];
            (output ? s.outputs : s.inputs)[bit] = tags[i].name;
        }
        views.push_back(std::move(v));
    }
    std::lock_guard<std::mutex> hold(m_lock);
    for (ChannelView& v : views) {
        if (ChannelView* old = Find(v.name)) v.log = std::move(old->log);  // a reload keeps the log
    }
    m_channels = std::move(views);
    // the page reads the state again: the channels or their stations may differ
    Publish("channels", "{}");
}

void WebServer::SetBroker(bool connected) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (connected == m_broker) return;
    m_broker = connected;
    Publish("gateway", JsonText(json{{"broker", BrokerStateName(connected)}}));
}

WebServer::ChannelView* WebServer::Find(const std::string& channel) {
    for (ChannelView& c : m_channels)
        if (c.name == channel) return &c;
    return nullptr;
}

nlohmann::json WebServer::StationObject(const std::string& channel, const StationView& s) {
    json inputs = json::array(), outputs = json::array();
    for (int bit = 0; bit < 8; ++bit) {
        inputs.push_back(s.inputs[bit].empty() ? json(nullptr) : json(s.inputs[bit]));
        outputs.push_back(s.outputs[bit].empty() ? json(nullptr) : json(s.outputs[bit]));
    }
    json j = StationStateJson(s.state);
    j["enabled"] = s.state.state != StationHealth::disabled;
    j["name"] = s.name;
    j["number"] = s.number;
    j["inputs"] = inputs;
    j["outputs"] = outputs;
    if (!channel.empty()) j["channel"] = channel;
    return j;
}

std::string WebServer::StateJson() const {
    std::lock_guard<std::mutex> hold(m_lock);
    json channels = json::array();
    for (const ChannelView& c : m_channels) {
        json stations = json::array(), tags = json::object(), log = json::array();
        for (const StationView& s : c.stations) stations.push_back(StationObject("", s));
        for (const TagView& t : c.tags)
            tags[t.name] = t.known ? json(t.value != 0 ? 1 : 0) : json();
        for (const LogLine& l : c.log)
            log.push_back({{"kind", l.kind}, {"text", l.text}, {"time", l.time}});
        channels.push_back({{"name", c.name},
                            {"state", ChannelStateName(c.state)},
                            {"stations", stations},
                            {"tags", tags},
                            {"log", log}});
    }
    return JsonText(json{{"gateway",
                          {{"id", m_gatewayId},
                           {"broker", BrokerStateName(m_broker)},
                           {"history", m_history != nullptr}}},
                         {"channels", channels}});
}

void WebServer::OnValue(const std::string& channel, const std::string& tag, double value) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (ChannelView* c = Find(channel)) {
        for (TagView& t : c->tags) {
            if (t.name != tag) continue;
            t.known = true;
            t.value = value;
        }
    }
    Publish("value",
            JsonText(json{{"channel", channel}, {"tag", tag}, {"value", value != 0 ? 1 : 0}}));
}

void WebServer::OnStation(const std::string& channel, const std::string& station,
                          const StationState& state) {
    std::lock_guard<std::mutex> hold(m_lock);
    ChannelView* c = Find(channel);
    if (!c) return;
    for (StationView& s : c->stations) {
        if (s.name != station) continue;
        s.state = state;
        Publish("station", JsonText(StationObject(channel, s)));
    }
}

void WebServer::OnChannelState(const std::string& channel, ChannelState state) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (ChannelView* c = Find(channel)) c->state = state;
    Publish("state", JsonText(json{{"channel", channel}, {"state", ChannelStateName(state)}}));
}

void WebServer::OnLog(const std::string& channel, bool fault, const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    LogLine line{LogKindName(fault), text, UtcTimeStamp()};
    if (ChannelView* c = Find(channel)) {
        c->log.push_back(line);
        while (c->log.size() > kLogTail) c->log.pop_front();
    }
    Publish(
        "log",
        JsonText(json{
            {"channel", channel}, {"kind", line.kind}, {"text", line.text}, {"time", line.time}}));
}
