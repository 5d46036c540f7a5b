// The gateway's history: started before the channels, fed by the recorder
// among the sinks, and the gateway's own events (start, reload, settings,
// scans, the broker's connection) recorded beside them.
#include <string>

#include "gateway/app/Gateway.h"
#include "gateway/core/Journal.h"
#include "gateway/mqtt/MqttBridge.h"

bool Gateway::StartHistory(std::string* error) {
    if (!m_config.history.enabled) return true;
    m_history.reset(new History(m_config.history));
    if (!m_history->Lock(error)) {
        *error = "[history] " + *error;
        m_history.reset();
        return false;
    }
    m_history->Start();
    m_recorder.reset(
        new HistoryRecorder(*m_history, [this](const std::string& channel, const std::string& tag) {
            GatewayChannel* ch = m_channels.Find(channel);
            return ch ? ch->StationOfTag(tag) : std::string();
        }));
    m_sinks.Add(m_recorder.get());
    return true;
}

void Gateway::Remember(HistoryKind kind, const std::string& channel, const std::string& state,
                       const std::string& who, const std::string& result,
                       const std::string& detail) {
    if (m_recorder) m_recorder->Gateway(kind, channel, state, who, result, detail);
}

void Gateway::WatchHistory(std::chrono::steady_clock::time_point now) {
    if (!m_history) return;
    if (m_bridge->Connected() != m_brokerRecorded) {
        m_brokerRecorded = !m_brokerRecorded;
        Remember(HistoryKind::broker, "", m_brokerRecorded ? "connected" : "disconnected", "", "",
                 m_config.host + ":" + std::to_string(m_config.port));
    }
    const uint64_t dropped = m_history->Dropped();
    if (dropped > m_droppedLogged && now >= m_nextDropLog) {
        Journal(kWarning, "history: " + std::to_string(dropped - m_droppedLogged) +
                              " events not recorded (the queue was full, or the database could "
                              "not be written)");
        m_droppedLogged = dropped;
        m_nextDropLog = now + std::chrono::minutes(1);
    }
}
