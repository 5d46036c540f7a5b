// What a channel tells the world, and the states it tells: the one interface
// every way out (MQTT, the page, the history, the metrics) takes a channel's
// news through, on the gateway's thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "gateway/core/Command.h"

// A channel's state and a station's, as the gateway tells them (MQTT, the
// page, Modbus): each with the one name it goes by.
enum class ChannelState { off, ok, fault, portLost };
inline constexpr Named<ChannelState> kChannelStates[] = {
    {ChannelState::off, "off", "꺼짐 (off)"},
    {ChannelState::ok, "ok", "정상 (ok)"},
    {ChannelState::fault, "fault", "이상 (fault)"},
    {ChannelState::portLost, "port_lost", "포트 끊김 (port lost)"}};
static_assert(InEnumOrder(kChannelStates));
constexpr const char* ChannelStateName(ChannelState state) {
    return NameIn(kChannelStates, state);
}

enum class StationHealth { unknown, ok, fault, disabled };
inline constexpr Named<StationHealth> kStationHealths[] = {
    {StationHealth::unknown, "unknown", "알 수 없음 (unknown)"},
    {StationHealth::ok, "ok", "정상 (ok)"},
    {StationHealth::fault, "fault", "이상 (fault)"},
    {StationHealth::disabled, "disabled", "사용 안 함 (disabled)"}};
static_assert(InEnumOrder(kStationHealths));
constexpr const char* StationHealthName(StationHealth health) {
    return NameIn(kStationHealths, health);
}

struct StationState {
    StationHealth state = StationHealth::unknown;
    int32_t controls = 0, controlFailures = 0, polls = 0, pollFailures = 0;
    bool operator==(const StationState& o) const {
        return state == o.state && controls == o.controls && controlFailures == o.controlFailures &&
               polls == o.polls && pollFailures == o.pollFailures;
    }
    bool operator!=(const StationState& o) const { return !(*this == o); }
};
// {"state", "controls", "control_failures", "polls", "poll_failures"}: a
// station as MQTT and the page tell it.
nlohmann::json StationStateJson(const StationState& state);

// What a channel tells the world (the MQTT bridge, and whoever else serves it).
class GatewaySink {
public:
    virtual ~GatewaySink() = default;
    virtual void OnValue(const std::string& channel, const std::string& tag, double value) = 0;
    virtual void OnStation(const std::string& channel, const std::string& station,
                           const StationState& state) = 0;
    virtual void OnChannelState(const std::string& channel, ChannelState state) = 0;
    virtual void OnLog(const std::string& channel, bool fault, const std::string& text) = 0;
    // What the channel has (its stations and tags, as JSON text): at its
    // start and whenever every state is told again. Few sinks want it.
    virtual void OnDescription(const std::string& /*channel*/, const std::string& /*json*/) {}
    // A write's outcome, told to every sink; the ticket says whose it is.
    virtual void OnWriteResult(const std::string& channel, const std::string& tag,
                               const CommandReply& outcome, const CommandTicket& ticket) = 0;
    // A station command's outcome (reset, enable, disable), likewise.
    virtual void OnStationResult(const std::string& /*channel*/, const std::string& /*station*/,
                                 const CommandReply& /*outcome*/, const CommandTicket& /*ticket*/) {
    }
};

// Tells every sink it holds, in order (the MQTT bridge, the web page).
class FanoutSink : public GatewaySink {
public:
    void Add(GatewaySink* sink) { m_sinks.push_back(sink); }
    void Remove(GatewaySink* sink) {
        m_sinks.erase(std::remove(m_sinks.begin(), m_sinks.end(), sink), m_sinks.end());
    }
    void OnValue(const std::string& c, const std::string& t, double v) override {
        for (GatewaySink* s : m_sinks) s->OnValue(c, t, v);
    }
    void OnStation(const std::string& c, const std::string& st, const StationState& v) override {
        for (GatewaySink* s : m_sinks) s->OnStation(c, st, v);
    }
    void OnChannelState(const std::string& c, ChannelState state) override {
        for (GatewaySink* s : m_sinks) s->OnChannelState(c, state);
    }
    void OnLog(const std::string& c, bool fault, const std::string& text) override {
        for (GatewaySink* s : m_sinks) s->OnLog(c, fault, text);
    }
    void OnDescription(const std::string& c, const std::string& json) override {
        for (GatewaySink* s : m_sinks) s->OnDescription(c, json);
    }
    void OnWriteResult(const std::string& c, const std::string& t, const CommandReply& r,
                       const CommandTicket& ticket) override {
        for (GatewaySink* s : m_sinks) s->OnWriteResult(c, t, r, ticket);
    }
    void OnStationResult(const std::string& c, const std::string& st, const CommandReply& r,
                         const CommandTicket& ticket) override {
        for (GatewaySink* s : m_sinks) s->OnStationResult(c, st, r, ticket);
    }

private:
    std::vector<GatewaySink*> m_sinks;
};

// A sink that tells nobody: for looking at channels without running them.
class NullSink : public GatewaySink {
public:
    void OnValue(const std::string&, const std::string&, double) override {}
    void OnStation(const std::string&, const std::string&, const StationState&) override {}
    void OnChannelState(const std::string&, ChannelState) override {}
    void OnLog(const std::string&, bool, const std::string&) override {}
    void OnWriteResult(const std::string&, const std::string&, const CommandReply&,
                       const CommandTicket&) override {}
};

// A log line's kind, and the broker connection's state, as the page and MQTT
// name them.
enum class LogKind { info, fault };
inline constexpr Named<LogKind> kLogKinds[] = {{LogKind::info, "info", "정보 (info)"},
                                               {LogKind::fault, "fault", "이상 (fault)"}};
static_assert(InEnumOrder(kLogKinds));
constexpr const char* LogKindName(bool fault) {
    return NameIn(kLogKinds, fault ? LogKind::fault : LogKind::info);
}
enum class BrokerState { disconnected, connected };
inline constexpr Named<BrokerState> kBrokerStates[] = {
    {BrokerState::disconnected, "disconnected", "끊김 (disconnected)"},
    {BrokerState::connected, "connected", "연결됨 (connected)"}};
static_assert(InEnumOrder(kBrokerStates));
constexpr const char* BrokerStateName(bool connected) {
    return NameIn(kBrokerStates, connected ? BrokerState::connected : BrokerState::disconnected);
}
// Why a scan counted an answer as garbled (a scan's "reason").
inline constexpr Named<int> kScanReasons[] = {
    {0, "check", "검사 문자 (check character)"},
    {1, "station", "다른 국번 (another station's number)"}};
