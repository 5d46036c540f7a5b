// The gateway as a Sparkplug B edge node (Eclipse Sparkplug 3.0), on a broker
// connection of its own (libmosquitto, MQTT 5, clean start, no session kept):
//
//   spBv1.0/<group>/NBIRTH/<node>            the node: bdSeq, Node Control/Rebirth, its version
//   spBv1.0/<group>/NDEATH/<node>            the connection's will (and a clean stop's last word)
//   spBv1.0/<group>/DBIRTH|DDATA|DDEATH/<node>/<device>
//                                            a station: its tags, state, counters, status byte
//   spBv1.0/<group>/NCMD/<node>              Node Control/Rebirth
//   spBv1.0/<group>/DCMD/<node>/<device>     an output's true, Enabled, Reset Counters
//   spBv1.0/STATE/<primary host>             with primary_host_id: birth only while it is online
//
// A device per station, <channel>.<station> (a /, + or # in either becomes
// _; a name taken already gets ~2, ~3, ...). Every message but NDEATH has
// the next seq (0-255, NBIRTH 0); bdSeq grows by one at every connection and
// is kept in the state folder, so that no host sees it go back.
//
// Threads: the network (connecting, libmosquitto's callbacks) on a thread of
// its own, which only queues what came and flags the connection's changes
// under the node's lock and wakes the loop; everything else (the model, the
// births, data, deaths, commands, the buffer) on the loop: the sink calls and
// Serve. So every message is published from one thread, in seq order.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/GatewayConfig.h"
#include "gateway/core/Command.h"
#include "gateway/core/Sink.h"
#include "gateway/sparkplug/SparkplugBuffer.h"
#include "gateway/sparkplug/SparkplugPayload.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

class SparkplugNode : public GatewaySink {
public:
    SparkplugNode(const GatewayConfig& config, std::function<void()> wake);
    ~SparkplugNode() override;

    // Reads bdSeq and the buffer from the state folder (made if need be) and
    // starts the network thread: false with *error.
    bool Start(std::string* error);
    // NDEATH, then the connection closed and the thread ended.
    void Stop();
    // The loop, at every pass: what came (commands, a host's state), births
    // due, the changes told since the last pass.
    void Serve(CommandEntry& entry);
    // The loop: the channels there are now (the others' devices die and go).
    void KeepChannels(const std::set<std::string>& names);

    struct Figures {
        bool connected = false, online = false;  // online: born (and the primary host there)
        uint64_t bdSeq = 0, buffered = 0, dropped = 0, refused = 0;
        std::map<std::string, uint64_t> sent, received;  // by message type
    };
    Figures Read() const;

    // GatewaySink (the loop)
    void OnValue(const std::string& channel, const std::string& tag, double value) override;
    void OnStation(const std::string& channel, const std::string& station,
                   const StationState& state) override;
    void OnChannelState(const std::string& channel, ChannelState state) override;
    void OnLog(const std::string&, bool, const std::string&) override {}
    void OnDescription(const std::string& channel, const std::string& json) override;
    void OnWriteResult(const std::string& channel, const std::string& tag,
                       const CommandReply& outcome, const CommandTicket& ticket) override;
    void OnStationResult(const std::string& channel, const std::string& station,
                         const CommandReply& outcome, const CommandTicket& ticket) override;

private:
    // A metric of a device or of the node.
    struct Metric {
        enum Role { input, output, state, enabled, counter, statusByte, reset, node } role;
        std::string name, tag;  // tag: the channel's tag of an input or output
        int which = 0;          // a counter: which of the four
        int bit = -1;           // an input's bit in the status byte
        uint64_t alias = 0;
        uint32_t datatype = 0;
        sparkplug::Metric value;  // its value and time now (name set)
    };
    struct Device {
        std::string channel, station, id;
        std::vector<Metric> metrics;
        std::map<std::string, size_t> byName;
        std::map<uint64_t, size_t> byAlias;
        StationState state;
        bool stated = false;  // a state was told
        bool born = false;
        std::vector<size_t> changed;  // metrics changed since the last DDATA
    };
    struct Channel {
        std::string description;
        ChannelState state = ChannelState::off;
        std::vector<std::string> devices;  // keys of m_devices
        std::map<std::string, std::pair<std::string, size_t>> tags;  // tag -> device, metric
    };

    // network thread
    void Network();
    static void OnConnect(mosquitto* m, void* self, int rc, int flags, const mqtt5__property* p);
    static void OnDisconnect(mosquitto* m, void* self, int rc, const mqtt5__property* p);
    static void OnMessage(mosquitto* m, void* self, const mosquitto_message* msg,
                          const mqtt5__property* p);
    static void OnPublished(mosquitto* m, void* self, int mid, int reason, const mqtt5__property* p);
    uint64_t NextBdSeq();  // read, and the next kept, in the state folder
    std::string DeathPayload(uint64_t bdSeq) const;

    // the loop
    std::string Topic(const char* type, const std::string& device = "") const;
    void Publish(const char* type, const std::string& device, sparkplug::Payload payload);
    void Births();
    void BirthDevice(Device& d);
    void DeathDevice(Device& d);
    bool Alive(const Device& d) const;
    void Reconsider(Device& d);  // a birth or a death, as its state now asks
    void Change(Device& d, size_t metric, const sparkplug::Metric& value, uint64_t when);
    void FlushData();
    void Forward();  // the buffer, after the births
    void Take(CommandEntry& entry, const std::string& topic, const std::string& payload);
    void NodeCommand(const sparkplug::Payload& p);
    void DeviceCommand(CommandEntry& entry, Device& d, const sparkplug::Payload& p);
    void TakeState(const std::string& payload);
    void Note(const std::string& line);  // a refusal, in the journal (at most 20 in 10 s)
    void Describe(const std::string& channel, const std::string& json);
    void ForgetChannel(const std::string& channel);
    std::string DeviceId(const std::string& channel, const std::string& station) const;
    Device* Find(const std::string& id);

    GatewayConfig m_config;
    std::function<void()> m_wake;
    mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_bdSeq{0};
    std::atomic<int> m_unacknowledged{0};

    // between the network thread and the loop
    mutable std::mutex m_lock;
    bool m_sessionUp = false;  // connected, subscribed
    uint64_t m_session = 0;    // counts the connections: a birth is for one of them
    std::deque<std::pair<std::string, std::string>> m_incoming;  // topic, payload
    std::atomic<bool> m_connected{false};

    // the loop's
    uint64_t m_bornSession = 0;  // the connection the node was born on (0: not born)
    bool m_hostOnline = false;
    uint64_t m_hostTimestamp = 0;
    bool m_rebirth = false;
    uint8_t m_seq = 0;
    uint64_t m_nextAlias = 1;
    std::vector<Metric> m_nodeMetrics;
    std::map<std::string, Device> m_devices;  // by device id
    std::map<std::string, Channel> m_channels;
    std::set<std::string> m_dirty;  // devices with changes to send
    SparkplugBuffer m_buffer;
    std::atomic<bool> m_online{false};
    int m_notes = 0;
    int64_t m_noteWindow = 0;

    // figures (the loop writes, the metrics read)
    mutable std::mutex m_figuresLock;
    std::map<std::string, uint64_t> m_sent, m_received;
    std::atomic<uint64_t> m_refused{0}, m_buffered{0}, m_dropped{0}, m_lostForward{0};
};
