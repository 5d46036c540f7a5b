// The gateway's figures for Prometheus: the text exposition format (0.0.4)
// written family by family, the write outcomes counted as the channels tell
// them, and the process's own figures from /proc.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gateway/channel/GatewayChannel.h"

class MetricsText {
public:
    using Labels = std::initializer_list<std::pair<const char*, std::string>>;
    // "# HELP" and "# TYPE" of a family, before its samples.
    void Family(const char* name, const char* type, const char* help);
    void Sample(const char* name, Labels labels, double value);
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
};

// The writes' outcomes by channel, origin and result, as the entry tells
// them and a queued write's end as its channel does. A write to a channel the
// gateway does not have is counted under channel "": a client naming
// thousands of channels adds no series.
class WriteCounts : public GatewaySink {
public:
    using Known = std::function<bool(const std::string& channel)>;
    void SetKnown(Known known) { m_known = std::move(known); }
    void Count(const std::string& channel, Origin origin, WriteResult result);
    // every channel's series, each origin and final result, 0 where none came
    void Put(MetricsText* out, const std::vector<std::string>& channels) const;

    void OnValue(const std::string&, const std::string&, double) override {}
    void OnStation(const std::string&, const std::string&, const StationState&) override {}
    void OnChannelState(const std::string&, ChannelState) override {}
    void OnLog(const std::string&, bool, const std::string&) override {}
    void OnWriteResult(const std::string& channel, const std::string&, const CommandReply& outcome,
                       const CommandTicket& ticket) override {
        if (outcome.result != WriteResult::queued)
            Count(!m_known || m_known(channel) ? channel : "", ticket.origin, outcome.result);
    }

private:
    Known m_known;
    std::map<std::tuple<std::string, Origin, WriteResult>, uint64_t> m_counts;
};

// process_cpu_seconds_total, process_resident_memory_bytes, process_open_fds,
// process_start_time_seconds, as Prometheus's own clients name them.
void PutProcessMetrics(MetricsText* out);
