// The gateway's side of the MQTT broker (libmosquitto, MQTT 5): retained
// values and states, log lines, write results, the online flag with its last
// will, and the command topics, subscribed with QoS 2 in a session the broker
// keeps while the gateway is away.
//
// The network runs on a thread of its own that connects, and after a lost
// connection connects again with a bounded back-off, every time with the
// session's properties. Publishing is safe from any thread. While there is no
// connection retained states are not queued (they are told again on the next
// connection); log lines and results wait, the most recent kBacklog of them.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/config/GatewayConfig.h"
#include "gateway/core/Sink.h"
#include "gateway/mqtt/RecentCommands.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

class MqttBridge : public GatewaySink {
public:
    struct Command {
        std::string topic;  // below the prefix: "<channel>/<tag>/set", ...
        std::string payload;
        std::string correlation;    // MQTT 5 correlation data, "" when none
        std::string responseTopic;  // MQTT 5 response topic, "" when none
    };

    // wake is called (on the network thread) when a command arrives or the
    // connection comes back.
    MqttBridge(const GatewayConfig& config, std::function<void()> wake);
    ~MqttBridge() override;

    // Sets up the client and starts the network thread: false with *error
    // when the settings cannot be used (TLS files, password file).
    bool Start(std::string* error);
    // Publishes online 0, disconnects and ends the network thread.
    void Stop();

    // The commands that came, each read (its topic, request id and station
    // word) and handed to the entry, on the entry's thread; a repeated
    // delivery is answered with the first one's outcome instead of acting
    // again.
    void ServeCommands(CommandEntry& entry);
    bool Connected() const { return m_connected; }
    // Log lines and results waiting for the broker.
    size_t Backlog() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_backlog.size();
    }
    // True once after every connection: the caller tells every state again.
    bool TakeConnectedAgain() { return m_connectedAgain.exchange(false); }

    // expiry: seconds the broker keeps it (MQTT 5 message expiry), 0 for ever.
    void Publish(const std::string& topicBelowPrefix, const std::string& payload, bool retain,
                 int qos = 1, const std::string& correlation = "", uint32_t expiry = 0);
    // How often the states are told again (a reload may change it).
    void SetStatusInterval(int seconds) { m_statusInterval = seconds; }
    // GatewaySink
    void OnValue(const std::string& channel, const std::string& tag, double value) override;
    void OnStation(const std::string& channel, const std::string& station,
                   const StationState& state) override;
    void OnChannelState(const std::string& channel, ChannelState state) override;
    void OnLog(const std::string& channel, bool fault, const std::string& text) override;
    void OnDescription(const std::string& channel, const std::string& json) override;
    void OnWriteResult(const std::string& channel, const std::string& tag,
                       const CommandReply& outcome, const CommandTicket& ticket) override;
    // on <channel>/station/<station>/result
    void OnStationResult(const std::string& channel, const std::string& station,
                         const CommandReply& outcome, const CommandTicket& ticket) override;

private:
    void Serve(CommandEntry& entry, Command command);
    static void OnConnect(mosquitto* m, void* self, int rc, int flags, const mqtt5__property* p);
    static void OnDisconnect(mosquitto* m, void* self, int rc, const mqtt5__property* p);
    static void OnMessage(mosquitto* m, void* self, const mosquitto_message* msg,
                          const mqtt5__property* p);
    static void OnPublished(mosquitto* m, void* self, int mid, int reason,
                            const mqtt5__property* p);
    // Counts a message sent with QoS 1 or 2 until the broker acknowledges it.
    void Count(int rc, int qos);
    void Network();

    GatewayConfig m_config;
    std::function<void()> m_wake;
    mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_connectedAgain{false};
    std::atomic<int> m_unacknowledged{0};  // messages the broker has not acknowledged
    struct Message {
        std::string topic, payload, correlation;  // topic: whole
        int qos;
        bool retain;
        uint32_t expiry;  // seconds, 0 for none
    };
    static const size_t kBacklog = 1000;
    // Sent now, or while there is no connection kept for it (retained ones are not).
    void Deliver(Message m);
    void Send(const Message& m);
    // The retained states' expiry: a few status intervals.
    uint32_t StateExpiry() const;
    std::atomic<int> m_statusInterval{10};
    // An outcome on its topic, and on the command's response topic when it named one.
    void SendOutcome(const std::string& topicBelowPrefix, const CommandReply& outcome,
                     const CommandTicket& ticket);

    std::mutex m_lock;  // the commands, the backlog, and m_connected's changes
    std::deque<Command> m_commands;
    std::deque<Message> m_backlog;
    // the commands seen lately (the entry's thread alone: ServeCommands and
    // the outcomes told to this sink)
    RecentCommands m_recent;
};
