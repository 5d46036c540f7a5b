#include "gateway/history/HistoryRecorder.h"

#include <nlohmann/json.hpp>

void HistoryRecorder::OnValue(const std::string& channel, const std::string& tag, double value) {
    if (!m_history.Config().values) return;
    HistoryEvent e;
    e.kind = HistoryKindName(HistoryKind::value);
    e.channel = channel;
    e.tag = tag;
    e.station = tag.substr(0, tag.find('/'));
    e.value = value;
    m_history.Record(std::move(e));
}

void HistoryRecorder::OnStation(const std::string& channel, const std::string& station,
                                const StationState& state) {
    // (unknown is no state of the station's: the gateway has not read it yet)
    auto key = std::make_pair(channel, station);
    auto it = m_stations.find(key);
    if (state.state == StationHealth::unknown ||
        (it != m_stations.end() && it->second == state.state))
        return;
    m_stations[key] = state.state;
    nlohmann::json counters = StationStateJson(state);
    counters.erase("state");
    HistoryEvent e;
    e.kind = HistoryKindName(HistoryKind::station);
    e.channel = channel;
    e.station = station;
    e.state = StationHealthName(state.state);
    e.detail = counters.dump();
    m_history.Record(std::move(e));
}

void HistoryRecorder::OnChannelState(const std::string& channel, ChannelState state) {
    auto it = m_channels.find(channel);
    if (it != m_channels.end() && it->second == state) return;
    m_channels[channel] = state;
    if (state == ChannelState::off)  // (its stations are unknown until read again)
        for (auto s = m_stations.begin(); s != m_stations.end();)
            s = s->first.first == channel ? m_stations.erase(s) : std::next(s);
    HistoryEvent e;
    e.kind = HistoryKindName(HistoryKind::channel);
    e.channel = channel;
    e.state = ChannelStateName(state);
    m_history.Record(std::move(e));
}

void HistoryRecorder::OnWriteResult(const std::string& channel, const std::string& tag,
                                    const CommandReply& outcome, const CommandTicket& ticket) {
    if (outcome.result != WriteResult::queued) Command(false, channel, tag, outcome, ticket);
}

void HistoryRecorder::Command(bool station, const std::string& channel, const std::string& target,
                              const CommandReply& reply, const CommandTicket& ticket) {
    HistoryEvent e;
    e.kind = HistoryKindName(station ? HistoryKind::stationCommand : HistoryKind::write);
    e.channel = channel;
    (station ? e.station : e.tag) = target;
    if (!station) e.station = m_stationOf(channel, target);
    e.origin = OriginName(ticket.origin);
    e.who = ticket.who;
    e.result = WriteResultName(reply.result);
    if (reply.result == WriteResult::refused) e.detail = reply.Reason();
    m_history.Record(std::move(e));
}

void HistoryRecorder::Gateway(HistoryKind kind, const std::string& channel,
                              const std::string& state, const std::string& who,
                              const std::string& result, const std::string& detail) {
    HistoryEvent e;
    e.kind = HistoryKindName(kind);
    e.channel = channel;
    e.state = state;
    e.origin = who.empty() ? "gateway" : "web";
    e.who = who;
    e.result = result;
    e.detail = detail;
    m_history.Record(std::move(e));
}
