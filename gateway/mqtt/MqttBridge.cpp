#include "gateway/mqtt/MqttBridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "gateway/core/Journal.h"
#include "gateway/core/Topics.h"
#include "gateway/mqtt/MqttLink.h"
#include "platform/Tick.h"

MqttBridge::MqttBridge(const GatewayConfig& config, std::function<void()> wake)
    : m_config(config), m_wake(std::move(wake)) {
    m_statusInterval = config.statusInterval;
    mosquitto_lib_init();
}

MqttBridge::~MqttBridge() {
    Stop();
    if (m_mosq) mosquitto_destroy(m_mosq);
    mosquitto_lib_cleanup();
}

bool MqttBridge::Start(std::string* error) {
    m_mosq = mqttlink::NewClient({m_config.clientId, false, m_config.username, m_config.passwordFile},
                                 m_config, this,
                                 {&MqttBridge::OnConnect, &MqttBridge::OnDisconnect,
                                  &MqttBridge::OnMessage, &MqttBridge::OnPublished},
                                 error);
    if (!m_mosq) return false;
    const std::string online = topic::Under(m_config.topicPrefix, topic::kOnline);
    mosquitto_will_set_v5(m_mosq, online.c_str(), 1, "0", 1, true, nullptr);
    m_thread = std::thread(&MqttBridge::Network, this);
    return true;
}

void MqttBridge::Network() {
    mosquitto_property* props = nullptr;
    // the broker keeps the session (its subscriptions, and the commands sent
    // meanwhile) this long after the gateway has gone: a command that finds
    // no gateway must not act hours later when it returns
    mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                 static_cast<uint32_t>(m_config.sessionExpiry));
    mqttlink::Link link;
    link.host = m_config.host;
    link.port = m_config.port;
    link.keepalive = m_config.keepalive;
    link.properties = props;
    link.lost = [this] {
        std::lock_guard<std::mutex> hold(m_lock);
        m_connected = false;
    };
    mqttlink::KeepConnected(m_mosq, link, m_stop, m_connected);
    // a clean stop: online 0, then let the last packets leave
    if (m_connected) {
        Publish(topic::kOnline, "0", true);
        // every message the broker has not acknowledged yet (some may still wait
        // for a slot in the broker's receive window), within a bound
        for (int i = 0; i < 60 && m_unacknowledged > 0; ++i) mosquitto_loop(m_mosq, 50, 1);
        mosquitto_loop(m_mosq, 50, 1);
        mosquitto_disconnect_v5(m_mosq, 0, nullptr);
        mosquitto_loop(m_mosq, 50, 1);
    }
    m_connected = false;
    mosquitto_property_free_all(&props);
}

void MqttBridge::Stop() {
    if (!m_thread.joinable()) return;
    m_stop = true;
    m_thread.join();
}

void MqttBridge::OnConnect(mosquitto* m, void* self, int rc, int, const mqtt5__property*) {
    auto* b = static_cast<MqttBridge*>(self);
    if (rc != 0) {
        Journal(kError,
                std::string("broker refused the connection: ") + mosquitto_reason_string(rc));
        return;
    }
    // commands only: our own topics are not sent back, retained ones never
    const std::string commands = topic::CommandFilter(b->m_config.topicPrefix);
    mosquitto_subscribe_v5(m, nullptr, commands.c_str(), 2,
                           MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
    const std::string online = topic::Under(b->m_config.topicPrefix, topic::kOnline);
    b->m_unacknowledged = 0;  // (what the last connection left is the broker's to resend or drop)
    b->Count(mosquitto_publish_v5(m, nullptr, online.c_str(), 1, "1", 1, true, nullptr), 1);
    // What waited goes first and in order: until the backlog is empty, what
    // comes meanwhile joins it (a result never overtakes the one before it).
    for (;;) {
        std::deque<Message> backlog;
        {
            std::lock_guard<std::mutex> hold(b->m_lock);
            if (b->m_backlog.empty()) {
                b->m_connected = true;
                break;
            }
            backlog.swap(b->m_backlog);
        }
        for (const Message& msg : backlog) b->Send(msg);
    }
    b->m_connectedAgain = true;
    Journal(kInfo,
            "connected to the broker " + b->m_config.host + ":" + std::to_string(b->m_config.port));
    if (b->m_wake) b->m_wake();
}

void MqttBridge::Count(int rc, int qos) {
    if (rc == MOSQ_ERR_SUCCESS && qos > 0) ++m_unacknowledged;
}

void MqttBridge::OnPublished(mosquitto*, void* self, int, int, const mqtt5__property*) {
    auto* b = static_cast<MqttBridge*>(self);
    if (b->m_unacknowledged > 0) --b->m_unacknowledged;
}

void MqttBridge::OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    auto* b = static_cast<MqttBridge*>(self);
    {
        std::lock_guard<std::mutex> hold(b->m_lock);
        b->m_connected = false;
    }
    if (!b->m_stop)
        Journal(kWarning, std::string("broker connection lost: ") + mosquitto_strerror(rc));
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* msg,
                           const mqtt5__property* props) {
    auto* b = static_cast<MqttBridge*>(self);
    Command c;
    if (!topic::Below(b->m_config.topicPrefix, msg->topic ? msg->topic : "", &c.topic)) return;
    // (no more than the payload rule reads: a larger one is refused as such)
    c.payload.assign(static_cast<const char*>(msg->payload),
                     std::min(static_cast<size_t>(msg->payloadlen), kMaxCommandBytes + 1));
    void* data = nullptr;
    uint16_t len = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &len, false)) {
        c.correlation.assign(static_cast<const char*>(data), len);
        free(data);
    }
    char* response = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response, false)) {
        c.responseTopic = response;
        free(response);
    }
    {
        std::lock_guard<std::mutex> hold(b->m_lock);
        b->m_commands.push_back(std::move(c));
    }
    if (b->m_wake) b->m_wake();
}

void MqttBridge::ServeCommands(CommandEntry& entry) {
    std::deque<Command> came;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        came.swap(m_commands);
    }
    for (Command& c : came) Serve(entry, std::move(c));
}

void MqttBridge::Serve(CommandEntry& entry, Command command) {
    GatewayCommand c;
    if (!topic::ParseCommand(command.topic, &c.channel, &c.target, &c.kind)) return;
    c.ticket.origin = Origin::mqtt;
    c.ticket.correlation = std::move(command.correlation);
    c.ticket.responseTopic = std::move(command.responseTopic);
    if (!RequestIdOf(command.payload, &c.ticket.request)) {
        c.ticket.request.clear();
        c.refused = Refusal::requestId;
    }
    // (the payload rule runs at the entry; a station command's word is read here)
    if (c.kind == GatewayCommand::station) {
        std::string request;
        c.payload = StationCommandOf(command.payload, &request);
    } else {
        c.payload = std::move(command.payload);
    }
    RecentCommands::Digest digest;
    const bool followed =
        c.refused == Refusal::none && RecentCommands::DigestOf(command.topic, c.ticket, &digest);
    const auto now = std::chrono::steady_clock::now();
    if (followed) {
        if (const CommandReply* first = m_recent.Seen(digest, now)) {
            Journal(kWarning,
                    "mqtt: a repeated delivery of " + command.topic + " (request " +
                        (c.ticket.request.empty() ? "by correlation data" : c.ticket.request) +
                        ") answered with the first one's result, " +
                        WriteResultName(first->result));
            SendOutcome(c.kind == GatewayCommand::station
                            ? topic::StationResult(c.channel, c.target)
                            : topic::Result(c.channel, c.target),
                        *first, c.ticket);
            return;
        }
    }
    const CommandReply reply = entry.Execute(c);
    // nothing is kept of a command to a channel that is not there
    if (followed && reply.why != Refusal::unknownChannel) m_recent.Remember(digest, reply, now);
}

void MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain, int qos,
                         const std::string& correlation, uint32_t expiry) {
    if (!m_mosq) return;
    Deliver(Message{topic::Under(m_config.topicPrefix, topic), payload, correlation, qos, retain,
                    expiry});
}

void MqttBridge::Deliver(Message m) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_connected) {
            if (m.retain) return;  // told again on the next connection
            if (m_backlog.size() >= kBacklog) m_backlog.pop_front();
            m_backlog.push_back(std::move(m));
            return;
        }
    }
    Send(m);
}

void MqttBridge::Send(const Message& m) {
    mosquitto_property* props = nullptr;
    if (!m.correlation.empty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, m.correlation.data(),
                                      static_cast<uint16_t>(m.correlation.size()));
    if (m.expiry) mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, m.expiry);
    Count(mosquitto_publish_v5(m_mosq, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                               m.payload.data(), m.qos, m.retain, props),
          m.qos);
    mosquitto_property_free_all(&props);
}

uint32_t MqttBridge::StateExpiry() const {
    // told again every status interval: three of them missed, the gateway is gone
    return static_cast<uint32_t>(3 * m_statusInterval.load());
}

void MqttBridge::OnValue(const std::string& channel, const std::string& tag, double value) {
    Publish(topic::Value(channel, tag), value != 0 ? "1" : "0", true);
}

void MqttBridge::OnStation(const std::string& channel, const std::string& station,
                           const StationState& s) {
    Publish(topic::Station(channel, station), JsonText(StationStateJson(s)), true, 1, "",
            StateExpiry());
}

void MqttBridge::OnChannelState(const std::string& channel, ChannelState state) {
    Publish(topic::State(channel), JsonText({{"state", ChannelStateName(state)}}), true, 1, "",
            StateExpiry());
}

void MqttBridge::OnDescription(const std::string& channel, const std::string& json) {
    Publish(topic::Meta(channel), json, true);
}

void MqttBridge::OnLog(const std::string& channel, bool fault, const std::string& text) {
    nlohmann::json j = {{"kind", LogKindName(fault)}, {"text", text}, {"time", UtcTimeStamp()}};
    Publish(topic::Log(channel), JsonText(j), false, 0);
}

void MqttBridge::SendOutcome(const std::string& topicBelowPrefix, const CommandReply& outcome,
                             const CommandTicket& ticket) {
    nlohmann::json j = OutcomeJson(outcome);
    // the payload's request id in the text; correlation data, which may be any
    // bytes, only as correlation data
    j["request"] = ticket.request.empty() ? nlohmann::json(nullptr)
                                          : nlohmann::json::parse(ticket.request, nullptr, false);
    const std::string text = JsonText(j);
    // (QoS 2: a result reaches the broker once, whatever happens to the connection)
    Publish(topicBelowPrefix, text, false, 2, ticket.correlation);
    if (ticket.responseTopic.empty() ||
        ticket.responseTopic.find_first_of("+#") != std::string::npos)
        return;
    Deliver(Message{ticket.responseTopic, text, ticket.correlation, 2, false, 0});
}

void MqttBridge::OnWriteResult(const std::string& channel, const std::string& tag,
                               const CommandReply& outcome, const CommandTicket& ticket) {
    if (ticket.origin == Origin::mqtt) m_recent.Update(outcome);
    SendOutcome(topic::Result(channel, tag), outcome, ticket);
}

void MqttBridge::OnStationResult(const std::string& channel, const std::string& station,
                                 const CommandReply& outcome, const CommandTicket& ticket) {
    if (ticket.origin == Origin::mqtt) m_recent.Update(outcome);
    SendOutcome(topic::StationResult(channel, station), outcome, ticket);
}
