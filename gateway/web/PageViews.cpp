#include "gateway/web/PageViews.h"

#include <nlohmann/json.hpp>

#include "platform/Tick.h"

using nlohmann::json;

namespace {

const size_t kLogTail = 100;

}  // namespace

void PageViews::Set(const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
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
        if (ChannelView* old = Find(v.name)) v.log = std::move(old->log);
    }
    m_channels = std::move(views);
}

std::vector<PageViews::Event> PageViews::Refresh(
    const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    std::vector<Event> events;
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& ch : channels) {
        ChannelView* view = ch ? Find(ch->Name()) : nullptr;
        if (!view) continue;
        const std::vector<GatewayChannel::Station>& stations = ch->Stations();
        for (size_t i = 0; i < stations.size() && i < view->stations.size(); ++i) {
            if (!stations[i].told || stations[i].last == view->stations[i].state) continue;
            view->stations[i].state = stations[i].last;
            events.push_back({"station", JsonText(StationObject(view->name, view->stations[i]))});
        }
    }
    return events;
}

PageViews::Event PageViews::Broker(bool connected) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (connected == m_broker) return {};
    m_broker = connected;
    return {"gateway", JsonText(json{{"broker", BrokerStateName(connected)}})};
}

PageViews::ChannelView* PageViews::Find(const std::string& channel) {
    for (ChannelView& c : m_channels)
        if (c.name == channel) return &c;
    return nullptr;
}

nlohmann::json PageViews::StationObject(const std::string& channel, const StationView& s) {
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

std::string PageViews::StateJson(const std::string& gatewayId, bool history) const {
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
    return JsonText(
        json{{"gateway",
              {{"id", gatewayId}, {"broker", BrokerStateName(m_broker)}, {"history", history}}},
             {"channels", channels}});
}

PageViews::Event PageViews::Value(const std::string& channel, const std::string& tag,
                                  double value) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (ChannelView* c = Find(channel)) {
        for (TagView& t : c->tags) {
            if (t.name != tag) continue;
            t.known = true;
            t.value = value;
        }
    }
    return {"value",
            JsonText(json{{"channel", channel}, {"tag", tag}, {"value", value != 0 ? 1 : 0}})};
}

PageViews::Event PageViews::Station(const std::string& channel, const std::string& station,
                                    const StationState& state) {
    std::lock_guard<std::mutex> hold(m_lock);
    ChannelView* c = Find(channel);
    if (!c) return {};
    for (StationView& s : c->stations) {
        if (s.name != station) continue;
        s.state = state;
        return {"station", JsonText(StationObject(channel, s))};
    }
    return {};
}

PageViews::Event PageViews::State(const std::string& channel, ChannelState state) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (ChannelView* c = Find(channel)) c->state = state;
    return {"state", JsonText(json{{"channel", channel}, {"state", ChannelStateName(state)}})};
}

PageViews::Event PageViews::Log(const std::string& channel, bool fault, const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    LogLine line{LogKindName(fault), text, UtcTimeStamp()};
    if (ChannelView* c = Find(channel)) {
        c->log.push_back(line);
        while (c->log.size() > kLogTail) c->log.pop_front();
    }
    return {
        "log",
        JsonText(json{
            {"channel", channel}, {"kind", line.kind}, {"text", line.text}, {"time", line.time}})};
}
