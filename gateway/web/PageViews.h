// What the page shows of the channels: their states, stations, tag values
// and the tail of their logs, kept from what their sink tells (the gateway's
// thread) and read as the API's state (the server's thread), under a lock of
// its own. Each change gives the event the page's streams are to get.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "gateway/channel/GatewayChannel.h"
#include "gateway/core/Sink.h"

class PageViews {
public:
    // An event for the streams: its name and JSON ("" for none).
    struct Event {
        std::string name, json;
    };

    // The channels to show, with what they know now (a reload keeps the logs).
    void Set(const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    // The stations whose counters changed since they were told (about once a second).
    std::vector<Event> Refresh(const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    // Empty when nothing changed.
    Event Broker(bool connected);
    Event Value(const std::string& channel, const std::string& tag, double value);
    Event Station(const std::string& channel, const std::string& station,
                  const StationState& state);
    Event State(const std::string& channel, ChannelState state);
    Event Log(const std::string& channel, bool fault, const std::string& text);

    // GET /api/state
    std::string StateJson(const std::string& gatewayId, bool history) const;

private:
    struct StationView {
        std::string name;
        int number = 0;
        StationState state;
        std::string inputs[8], outputs[8];  // tag names, "" for none
    };
    struct TagView {
        std::string name;
        bool known = false;
        double value = 0;
    };
    struct LogLine {
        std::string kind, text, time;
    };
    struct ChannelView {
        std::string name;
        ChannelState state = ChannelState::off;
        std::vector<StationView> stations;
        std::vector<TagView> tags;
        std::deque<LogLine> log;
    };
    ChannelView* Find(const std::string& channel);
    static nlohmann::json StationObject(const std::string& channel, const StationView& s);

    mutable std::mutex m_lock;  // everything below
    std::vector<ChannelView> m_channels;
    bool m_broker = false;
};
