// What the channels tell, as the history records it: a station's or a
// channel's state when it changes (a station's with its counters at that
// moment), a queued write's end, and with `values` every value change.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "gateway/core/Sink.h"
#include "gateway/history/History.h"

class HistoryRecorder : public GatewaySink {
public:
    // stationOf: the station of a channel's tag, "" for a tag it does not have.
    using StationOf =
        std::function<std::string(const std::string& channel, const std::string& tag)>;
    HistoryRecorder(History& history, StationOf stationOf)
        : m_history(history), m_stationOf(std::move(stationOf)) {}

    void OnValue(const std::string& channel, const std::string& tag, double value) override;
    void OnStation(const std::string& channel, const std::string& station,
                   const StationState& state) override;
    void OnChannelState(const std::string& channel, ChannelState state) override;
    void OnLog(const std::string&, bool, const std::string&) override {}
    void OnWriteResult(const std::string& channel, const std::string& tag,
                       const CommandReply& outcome, const CommandTicket& ticket) override;
    void OnStationResult(const std::string& channel, const std::string& station,
                         const CommandReply& outcome, const CommandTicket& ticket) override {
        Command(true, channel, station, outcome, ticket);
    }

    // A command's outcome (a write's or a station command's), as the entry knows it.
    void Command(bool station, const std::string& channel, const std::string& target,
                 const CommandReply& reply, const CommandTicket& ticket);
    // The gateway's own events: kind, state or result, detail.
    void Gateway(HistoryKind kind, const std::string& channel, const std::string& state,
                 const std::string& who, const std::string& result, const std::string& detail);

private:
    History& m_history;
    StationOf m_stationOf;
    std::map<std::pair<std::string, std::string>, StationHealth> m_stations;
    std::map<std::string, ChannelState> m_channels;
};
