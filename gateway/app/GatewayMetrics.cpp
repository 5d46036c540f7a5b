// The gateway's figures for Prometheus, made by the loop once a second from
// what the channels read last (the driver's own counters), the write
// outcomes, the broker, Modbus and the page; served by the page's /metrics and
// by [metrics].
#include "gateway/app/Gateway.h"
#include "gateway/core/Journal.h"
#include "gateway/metrics/MetricsServer.h"
#include "gateway/modbus/ModbusServer.h"
#include "gateway/opcua/OpcuaServer.h"
#include "gateway/sparkplug/SparkplugNode.h"
#include "gateway/mqtt/MqttBridge.h"
#include "gateway/web/WebServer.h"
#include "krandolix_version.h"

namespace {

struct StationFamily {
    const char* name;
    const char* type;
    const char* help;
    double (*value)(const StationState&);
};

const StationFamily kStationFamilies[] = {
    {"krandolix_station_polls_total", "counter", "Polls of the station (the driver's count).",
     [](const StationState& s) { return static_cast<double>(s.polls); }},
    {"krandolix_station_poll_failures_total", "counter", "Polls that failed.",
     [](const StationState& s) { return static_cast<double>(s.pollFailures); }},
    {"krandolix_station_controls_total", "counter", "Commands sent to the station.",
     [](const StationState& s) { return static_cast<double>(s.controls); }},
    {"krandolix_station_control_failures_total", "counter", "Commands that failed.",
     [](const StationState& s) { return static_cast<double>(s.controlFailures); }},
    {"krandolix_station_up", "gauge", "1 while the station answers (ok), else 0.",
     [](const StationState& s) { return s.state == StationHealth::ok ? 1.0 : 0.0; }},
    {"krandolix_station_enabled", "gauge", "1 while the station is polled, 0 when disabled.",
     [](const StationState& s) { return s.state == StationHealth::disabled ? 0.0 : 1.0; }},
};

}  // namespace

std::string Gateway::Metrics() {
    MetricsText out;
    out.Family("krandolix_build_info", "gauge", "The gateway's version; the value is 1.");
    out.Sample("krandolix_build_info", {{"version", KRANDOLIX_VERSION}}, 1);
    for (const StationFamily& f : kStationFamilies) {
        out.Family(f.name, f.type, f.help);
        for (const auto& ch : m_channels.All())
            for (const GatewayChannel::Station& s : ch->Stations())
                out.Sample(f.name, {{"channel", ch->Name()}, {"station", s.name}}, f.value(s.last));
    }
    out.Family("krandolix_channel_state", "gauge", "The channel's state: 1 for the current one.");
    for (const auto& ch : m_channels.All())
        for (const auto& state : kChannelStates)
            out.Sample("krandolix_channel_state", {{"channel", ch->Name()}, {"state", state.name}},
                       ch->State() == state.value ? 1 : 0);
    out.Family("krandolix_channel_reopens_total", "counter",
               "Times the channel's port was opened again after its line was lost.");
    for (const auto& ch : m_channels.All())
        out.Sample("krandolix_channel_reopens_total", {{"channel", ch->Name()}},
                   static_cast<double>(ch->Reopens()));
    std::vector<std::string> names;
    for (const auto& ch : m_channels.All()) names.push_back(ch->Name());
    m_writeCounts.Put(&out, names);
    out.Family("krandolix_mqtt_connected", "gauge", "1 while the broker is connected.");
    out.Sample("krandolix_mqtt_connected", {}, m_bridge->Connected() ? 1 : 0);
    out.Family("krandolix_mqtt_backlog", "gauge", "Log lines and results waiting for the broker.");
    out.Sample("krandolix_mqtt_backlog", {}, static_cast<double>(m_bridge->Backlog()));
    if (m_modbus) {
        out.Family("krandolix_modbus_requests_total", "counter",
                   "Modbus TCP requests answered, by function and exception (none: answered).");
        for (const auto& [key, n] : m_modbus->Requests())
            out.Sample("krandolix_modbus_requests_total",
                       {{"function", std::to_string(key.first)},
                        {"exception", key.second ? std::to_string(key.second) : "none"}},
                       static_cast<double>(n));
    }
    if (m_opcua) {
        const OpcuaServer::Figures f = m_opcua->Read();
        out.Family("krandolix_opcua_sessions", "gauge", "OPC UA sessions open.");
        out.Sample("krandolix_opcua_sessions", {}, static_cast<double>(f.sessions));
        out.Family("krandolix_opcua_secure_channels", "gauge", "OPC UA secure channels open.");
        out.Sample("krandolix_opcua_secure_channels", {}, static_cast<double>(f.channels));
        out.Family("krandolix_opcua_rejected_total", "counter",
                   "OPC UA sessions and secure channels refused (limits, security, sign-in).");
        out.Sample("krandolix_opcua_rejected_total", {{"what", "session"}},
                   static_cast<double>(f.sessionsRejected));
        out.Sample("krandolix_opcua_rejected_total", {{"what", "secure_channel"}},
                   static_cast<double>(f.channelsRejected));
        out.Sample("krandolix_opcua_rejected_total", {{"what", "client_certificate"}},
                   static_cast<double>(f.certificatesRejected));
        out.Sample("krandolix_opcua_rejected_total", {{"what", "unactivated_session"}},
                   static_cast<double>(f.unactivatedClosed));
        out.Family("krandolix_opcua_session_timeouts_total", "counter",
                   "OPC UA sessions closed for their clients' silence.");
        out.Sample("krandolix_opcua_session_timeouts_total", {},
                   static_cast<double>(f.sessionsTimedOut));
        out.Family("krandolix_opcua_subscriptions", "gauge", "OPC UA subscriptions open.");
        out.Sample("krandolix_opcua_subscriptions", {}, static_cast<double>(f.subscriptions));
        out.Family("krandolix_opcua_monitored_items", "gauge",
                   "OPC UA monitored items in the subscriptions.");
        out.Sample("krandolix_opcua_monitored_items", {}, static_cast<double>(f.monitoredItems));
        out.Family("krandolix_opcua_requests_total", "counter",
                   "OPC UA requests in sessions, by service and whether the service answered Good.");
        for (const auto& [key, n] : f.requests)
            out.Sample("krandolix_opcua_requests_total",
                       {{"service", key.first}, {"status", key.second ? "good" : "bad"}},
                       static_cast<double>(n));
        out.Family("krandolix_opcua_commands_total", "counter",
                   "Writes of outputs and method calls handed to the gateway's command entry.");
        out.Sample("krandolix_opcua_commands_total", {{"kind", "write"}},
                   static_cast<double>(f.writes));
        out.Sample("krandolix_opcua_commands_total", {{"kind", "call"}},
                   static_cast<double>(f.calls));
        out.Family("krandolix_opcua_refused_total", "counter",
                   "OPC UA writes and calls refused, or answered as failed.");
        out.Sample("krandolix_opcua_refused_total", {}, static_cast<double>(f.refused));
        out.Family("krandolix_opcua_value_updates_total", "counter",
                   "Tag values and qualities written into the address space.");
        out.Sample("krandolix_opcua_value_updates_total", {},
                   static_cast<double>(f.notifications));
    }
    if (m_sparkplug) {
        const SparkplugNode::Figures f = m_sparkplug->Read();
        out.Family("krandolix_sparkplug_connected", "gauge",
                   "1 while the Sparkplug node's broker connection is up.");
        out.Sample("krandolix_sparkplug_connected", {}, f.connected ? 1 : 0);
        out.Family("krandolix_sparkplug_online", "gauge",
                   "1 while the node is born (and its primary host online).");
        out.Sample("krandolix_sparkplug_online", {}, f.online ? 1 : 0);
        out.Family("krandolix_sparkplug_bdseq", "gauge", "The bdSeq of the node's connection.");
        out.Sample("krandolix_sparkplug_bdseq", {}, static_cast<double>(f.bdSeq));
        out.Family("krandolix_sparkplug_messages_total", "counter",
                   "Sparkplug messages, by type and way (sent, received).");
        for (const auto& [type, n] : f.sent)
            out.Sample("krandolix_sparkplug_messages_total", {{"type", type}, {"way", "sent"}},
                       static_cast<double>(n));
        for (const auto& [type, n] : f.received)
            out.Sample("krandolix_sparkplug_messages_total", {{"type", type}, {"way", "received"}},
                       static_cast<double>(n));
        out.Family("krandolix_sparkplug_refused_total", "counter",
                   "Commands and payloads from hosts refused or ignored.");
        out.Sample("krandolix_sparkplug_refused_total", {}, static_cast<double>(f.refused));
        out.Family("krandolix_sparkplug_buffered_events", "gauge",
                   "Changes kept while no host hears the node.");
        out.Sample("krandolix_sparkplug_buffered_events", {}, static_cast<double>(f.buffered));
        out.Family("krandolix_sparkplug_dropped_events_total", "counter",
                   "Kept changes dropped (beyond the buffer, or their device gone).");
        out.Sample("krandolix_sparkplug_dropped_events_total", {}, static_cast<double>(f.dropped));
    }
    if (m_web) {
        out.Family("krandolix_web_event_streams", "gauge",
                   "Clients holding the page's event stream.");
        out.Sample("krandolix_web_event_streams", {}, static_cast<double>(m_web->Streams()));
    }
    if (m_history) {
        out.Family("krandolix_history_queue", "gauge", "Events waiting for the history's writer.");
        out.Sample("krandolix_history_queue", {}, static_cast<double>(m_history->Queued()));
        out.Family(
            "krandolix_history_dropped_total", "counter",
            "Events not recorded: the queue was full, or the database could not be written.");
        out.Sample("krandolix_history_dropped_total", {},
                   static_cast<double>(m_history->Dropped()));
        out.Family("krandolix_history_ok", "gauge", "1 while the history is written.");
        out.Sample("krandolix_history_ok", {}, m_history->Working() ? 1 : 0);
        out.Family("krandolix_history_memory_bytes", "gauge",
                   "Memory the history's database library holds (its bounded page caches).");
        out.Sample("krandolix_history_memory_bytes", {},
                   static_cast<double>(History::MemoryUsed()));
    }
    PutProcessMetrics(&out);
    return out.Text();
}

void Gateway::PublishMetrics() {
    const bool onPage = m_web && m_config.web.metrics;
    if (!onPage && !m_metrics) return;
    std::string text = Metrics();
    if (m_metrics) m_metrics->Set(text);
    if (onPage) m_web->SetMetrics(std::move(text));
}
