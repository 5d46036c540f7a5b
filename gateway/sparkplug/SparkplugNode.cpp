#include "gateway/sparkplug/SparkplugNode.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "gateway/core/Files.h"
#include "gateway/core/Journal.h"
#include "gateway/mqtt/MqttLink.h"
#include "krandolix_version.h"

namespace {

const char* const kNamespace = "spBv1.0";
const char* const kRebirth = "Node Control/Rebirth";
const size_t kMaxIncoming = 1000;       // commands waiting for the loop
const size_t kForwardPerMessage = 200;  // historical metrics in one DDATA

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// A name as a Sparkplug id: / + # (reserved) become _.
std::string IdPart(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return name;
}

// The text after `head` in `topic`, when topic starts so.
bool After(const std::string& topic, const std::string& head, std::string* rest) {
    if (topic.compare(0, head.size(), head) != 0) return false;
    *rest = topic.substr(head.size());
    return true;
}

}  // namespace

SparkplugNode::SparkplugNode(const GatewayConfig& config, std::function<void()> wake)
    : m_config(config), m_wake(std::move(wake)) {
    mosquitto_lib_init();
    // the node's own metrics, as every NBIRTH declares them
    auto node = [this](const std::string& name, sparkplug::Metric value) {
        Metric m;
        m.role = Metric::node;
        m.name = name;
        m.alias = m_nextAlias++;
        m.datatype = value.datatype;
        m.value = std::move(value);
        m_nodeMetrics.push_back(std::move(m));
    };
    node("bdSeq", sparkplug::IntegerMetric("bdSeq", sparkplug::kInt64, 0));
    node(kRebirth, sparkplug::BooleanMetric(kRebirth, false));
    node("Node Info/Version", sparkplug::TextMetric("Node Info/Version", KRANDOLIX_VERSION));
    node("Node Info/Gateway", sparkplug::TextMetric("Node Info/Gateway", config.id));
}

SparkplugNode::~SparkplugNode() {
    Stop();
    if (m_mosq) mosquitto_destroy(m_mosq);
    mosquitto_lib_cleanup();
}

// ---- the network thread ------------------------------------------------------------

bool SparkplugNode::Start(std::string* error) {
    const GatewaySparkplugConfig& s = m_config.sparkplug;
    std::error_code ec;
    std::filesystem::create_directories(s.stateDir, ec);
    if (ec) {
        *error = "sparkplug: state_dir " + s.stateDir + ": " + ec.message();
        return false;
    }
    ::chmod(s.stateDir.c_str(), 0750);
    if (!m_buffer.Open(s.stateDir + "/buffer.jsonl", static_cast<size_t>(s.buffer), error)) {
        *error = "sparkplug: the buffer: " + *error;
        return false;
    }
    m_dropped = m_buffer.Dropped();
    m_buffered = m_buffer.Size();
    // (bdSeq's file is written before the first connection: a state folder
    // the gateway cannot write is said now, not at the broker)
    {
        const std::string probe = s.stateDir + "/.written";
        std::ofstream out(probe);
        if (!out) {
            *error = "sparkplug: state_dir " + s.stateDir + " cannot be written";
            return false;
        }
        out.close();
        std::filesystem::remove(probe, ec);
    }
    m_mosq = mqttlink::NewClient({s.clientId, true, s.username, s.passwordFile}, m_config, this,
                                 {&SparkplugNode::OnConnect, &SparkplugNode::OnDisconnect,
                                  &SparkplugNode::OnMessage, &SparkplugNode::OnPublished},
                                 error);
    if (!m_mosq) {
        *error = "sparkplug: " + *error;
        return false;
    }
    m_thread = std::thread(&SparkplugNode::Network, this);
    Journal(kInfo, "sparkplug: edge node " + s.groupId + "/" + s.edgeNodeId + " on " + s.host +
                       ":" + std::to_string(s.port) +
                       (s.primaryHostId.empty() ? "" : " (primary host " + s.primaryHostId + ")"));
    return true;
}

uint64_t SparkplugNode::NextBdSeq() {
    const std::string path = m_config.sparkplug.stateDir + "/bdseq";
    uint64_t now = 0;
    std::string text;
    if (ReadWholeFile(path, &text)) {
        try {
            now = std::stoull(text) % 256;
        } catch (...) {
            now = 0;
        }
    }
    const std::string fresh = path + ".new";
    {
        std::ofstream out(fresh, std::ios::trunc);
        out << (now + 1) % 256 << "\n";
    }
    std::error_code ec;
    std::filesystem::rename(fresh, path, ec);
    if (ec) Journal(kWarning, "sparkplug: " + path + ": " + ec.message() + ": bdSeq not kept");
    return now;
}

std::string SparkplugNode::DeathPayload(uint64_t bdSeq) const {
    sparkplug::Payload p;
    p.hasTimestamp = true;
    p.timestamp = NowMs();
    p.metrics.push_back(sparkplug::IntegerMetric("bdSeq", sparkplug::kInt64, bdSeq));
    return sparkplug::Encode(p);
}

void SparkplugNode::Network() {
    const GatewaySparkplugConfig& s = m_config.sparkplug;
    const std::string death = Topic("NDEATH");
    mqttlink::Link link;
    link.host = s.host;
    link.port = s.port;
    link.keepalive = m_config.keepalive;
    link.journalPrefix = "sparkplug: ";
    // clean start, session expiry 0: nothing of an old session comes back
    link.beforeConnect = [&] {
        // a new CONNECT: the next bdSeq, in its will (the NDEATH the broker
        // publishes when the node drops) and in the NBIRTH to come
        const uint64_t bd = NextBdSeq();
        m_bdSeq = bd;
        const std::string will = DeathPayload(bd);
        mosquitto_will_clear(m_mosq);
        mosquitto_will_set_v5(m_mosq, death.c_str(), static_cast<int>(will.size()), will.data(), 1,
                              false, nullptr);
    };
    link.lost = [this] {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_sessionUp = false;
        }
        m_connected = false;
        if (m_wake) m_wake();
    };
    mqttlink::KeepConnected(m_mosq, link, m_stop, m_connected);
    // a clean stop: the node's death said by the node itself, then a plain
    // disconnect (the broker then drops the will)
    if (m_connected) {
        const std::string payload = DeathPayload(m_bdSeq);
        if (mosquitto_publish_v5(m_mosq, nullptr, death.c_str(), static_cast<int>(payload.size()),
                                 payload.data(), 1, false, nullptr) == MOSQ_ERR_SUCCESS)
            ++m_unacknowledged;
        {
            std::lock_guard<std::mutex> hold(m_figuresLock);
            ++m_sent["NDEATH"];
        }
        for (int i = 0; i < 40 && m_unacknowledged > 0; ++i) mosquitto_loop(m_mosq, 50, 1);
        mosquitto_disconnect_v5(m_mosq, 0, nullptr);
        mosquitto_loop(m_mosq, 50, 1);
    }
    m_connected = false;
}

void SparkplugNode::Stop() {
    if (!m_thread.joinable()) return;
    m_stop = true;
    m_thread.join();
}

void SparkplugNode::OnConnect(mosquitto* m, void* self, int rc, int, const mqtt5__property*) {
    auto* n = static_cast<SparkplugNode*>(self);
    if (rc != 0) {
        Journal(kError, std::string("sparkplug: the broker refused the connection: ") +
                            mosquitto_reason_string(rc));
        return;
    }
    const GatewaySparkplugConfig& s = n->m_config.sparkplug;
    const std::string ncmd = n->Topic("NCMD"), dcmd = n->Topic("DCMD") + "/+";
    mosquitto_subscribe_v5(m, nullptr, ncmd.c_str(), 1, 0, nullptr);
    mosquitto_subscribe_v5(m, nullptr, dcmd.c_str(), 1, 0, nullptr);
    if (!s.primaryHostId.empty()) {
        const std::string state = std::string(kNamespace) + "/STATE/" + s.primaryHostId;
        mosquitto_subscribe_v5(m, nullptr, state.c_str(), 1, 0, nullptr);
    }
    n->m_unacknowledged = 0;
    n->m_connected = true;
    {
        std::lock_guard<std::mutex> hold(n->m_lock);
        n->m_sessionUp = true;
        ++n->m_session;
    }
    Journal(kInfo, "sparkplug: connected to " + s.host + ":" + std::to_string(s.port) +
                       " (bdSeq " + std::to_string(n->m_bdSeq.load()) + ")");
    if (n->m_wake) n->m_wake();
}

void SparkplugNode::OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    auto* n = static_cast<SparkplugNode*>(self);
    {
        std::lock_guard<std::mutex> hold(n->m_lock);
        n->m_sessionUp = false;
    }
    n->m_connected = false;
    if (!n->m_stop)
        Journal(kWarning, std::string("sparkplug: broker connection lost: ") + mosquitto_strerror(rc));
    if (n->m_wake) n->m_wake();
}

void SparkplugNode::OnMessage(mosquitto*, void* self, const mosquitto_message* msg,
                              const mqtt5__property*) {
    auto* n = static_cast<SparkplugNode*>(self);
    // (one byte more than a payload may have: Decode says it is too large)
    const size_t keep = std::min(static_cast<size_t>(std::max(msg->payloadlen, 0)),
                                 sparkplug::kMaxIncomingBytes + 1);
    std::string payload(static_cast<const char*>(msg->payload), keep);
    {
        std::lock_guard<std::mutex> hold(n->m_lock);
        if (n->m_incoming.size() >= kMaxIncoming) {
            ++n->m_refused;  // a flood: the loop takes what it can
            return;
        }
        n->m_incoming.emplace_back(msg->topic ? msg->topic : "", std::move(payload));
    }
    if (n->m_wake) n->m_wake();
}

void SparkplugNode::OnPublished(mosquitto*, void* self, int, int, const mqtt5__property*) {
    auto* n = static_cast<SparkplugNode*>(self);
    if (n->m_unacknowledged > 0) --n->m_unacknowledged;
}

// ---- the loop: births, data, deaths -------------------------------------------------

std::string SparkplugNode::Topic(const char* type, const std::string& device) const {
    const GatewaySparkplugConfig& s = m_config.sparkplug;
    return std::string(kNamespace) + "/" + s.groupId + "/" + type + "/" + s.edgeNodeId +
           (device.empty() ? "" : "/" + device);
}

void SparkplugNode::Publish(const char* type, const std::string& device, sparkplug::Payload p) {
    p.hasTimestamp = true;
    p.timestamp = NowMs();
    p.hasSeq = true;
    p.seq = m_seq;
    m_seq = static_cast<uint8_t>(m_seq + 1);  // (255 wraps to 0)
    const std::string bytes = sparkplug::Encode(p);
    const std::string topic = Topic(type, device);
    mosquitto_publish_v5(m_mosq, nullptr, topic.c_str(), static_cast<int>(bytes.size()),
                         bytes.data(), 0, false, nullptr);
    std::lock_guard<std::mutex> hold(m_figuresLock);
    ++m_sent[type];
}

void SparkplugNode::Births() {
    sparkplug::Payload p;
    for (Metric& m : m_nodeMetrics) {
        if (m.name == "bdSeq") m.value.integer = m_bdSeq;
        sparkplug::Metric out = m.value;
        out.name = m.name;
        out.hasAlias = true;
        out.alias = m.alias;
        out.hasTimestamp = true;
        out.timestamp = NowMs();
        p.metrics.push_back(std::move(out));
    }
    m_seq = 0;
    Publish("NBIRTH", "", std::move(p));
    for (auto& [id, d] : m_devices) {
        d.born = false;
        d.changed.clear();
        if (Alive(d)) BirthDevice(d);
    }
    m_dirty.clear();
    m_online = true;
}

void SparkplugNode::BirthDevice(Device& d) {
    sparkplug::Payload p;
    for (const Metric& m : d.metrics) {
        sparkplug::Metric out = m.value;
        out.name = m.name;
        out.hasAlias = true;
        out.alias = m.alias;
        out.hasDatatype = true;
        out.datatype = m.datatype;
        out.historical = false;
        if (!out.hasTimestamp) {
            out.hasTimestamp = true;
            out.timestamp = NowMs();
        }
        if (out.kind == sparkplug::Metric::Kind::none) out.isNull = true;
        p.metrics.push_back(std::move(out));
    }
    Publish("DBIRTH", d.id, std::move(p));
    d.born = true;
    d.changed.clear();
}

void SparkplugNode::DeathDevice(Device& d) {
    if (!d.born) return;
    // what changed on the way (its state, its counters) goes first
    if (!d.changed.empty()) {
        m_dirty.insert(d.id);
        FlushData();
    }
    Publish("DDEATH", d.id, sparkplug::Payload());
    d.born = false;
}

bool SparkplugNode::Alive(const Device& d) const {
    auto ch = m_channels.find(d.channel);
    if (ch == m_channels.end()) return false;
    if (ch->second.state != ChannelState::ok && ch->second.state != ChannelState::fault)
        return false;
    return d.stated && d.state.state == StationHealth::ok;
}

void SparkplugNode::Reconsider(Device& d) {
    if (!m_bornSession) return;
    const bool alive = Alive(d);
    if (alive && !d.born) BirthDevice(d);
    if (!alive && d.born) DeathDevice(d);
}

void SparkplugNode::Change(Device& d, size_t i, const sparkplug::Metric& value, uint64_t when) {
    Metric& m = d.metrics[i];
    const bool same = m.value.kind == value.kind && m.value.integer == value.integer &&
                      m.value.boolean == value.boolean && m.value.text == value.text;
    if (same && m.value.hasTimestamp) return;
    m.value.kind = value.kind;
    m.value.integer = value.integer;
    m.value.boolean = value.boolean;
    m.value.text = value.text;
    m.value.isNull = false;
    m.value.hasTimestamp = true;
    m.value.timestamp = when;
    if (m_bornSession) {
        if (d.born) {
            if (std::find(d.changed.begin(), d.changed.end(), i) == d.changed.end())
                d.changed.push_back(i);
            m_dirty.insert(d.id);
        }
        return;
    }
    // nobody hears the node: kept for later, as history (what a station
    // that does not answer, or has not yet, tells is no history of it)
    if (!Alive(d)) return;
    SparkplugBuffer::Event e;
    e.device = d.id;
    e.metric = m.value;
    e.metric.name = m.name;
    e.metric.hasDatatype = true;
    e.metric.datatype = m.datatype;
    m_buffer.Add(e);
    m_buffered = m_buffer.Size();
    m_dropped = m_buffer.Dropped();
}

void SparkplugNode::FlushData() {
    for (const std::string& id : m_dirty) {
        auto found = m_devices.find(id);
        if (found == m_devices.end()) continue;
        Device& d = found->second;
        if (!d.born || d.changed.empty()) continue;
        sparkplug::Payload p;
        for (size_t i : d.changed) {
            const Metric& m = d.metrics[i];
            sparkplug::Metric out = m.value;
            out.name.clear();  // by alias
            out.hasAlias = true;
            out.alias = m.alias;
            out.hasDatatype = true;
            out.datatype = m.datatype;
            p.metrics.push_back(std::move(out));
        }
        d.changed.clear();
        Publish("DDATA", d.id, std::move(p));
    }
    m_dirty.clear();
}

void SparkplugNode::Forward() {
    const auto& events = m_buffer.Events();
    if (events.empty()) return;
    size_t sent = 0, lost = 0;
    std::string device;
    sparkplug::Payload p;
    auto flush = [&] {
        if (!p.metrics.empty()) Publish("DDATA", device, std::move(p));
        p = sparkplug::Payload();
    };
    for (const SparkplugBuffer::Event& e : events) {
        Device* d = Find(e.device);
        auto metric = d ? d->byName.find(e.metric.name) : decltype(d->byName.end())();
        if (!d || !d->born || metric == d->byName.end()) {
            ++lost;  // its device is gone or dead now, or the metric is no more
            continue;
        }
        if (e.device != device || p.metrics.size() >= kForwardPerMessage) {
            flush();
            device = e.device;
        }
        sparkplug::Metric out = e.metric;
        out.name.clear();
        out.hasAlias = true;
        out.alias = d->metrics[metric->second].alias;
        out.historical = true;
        p.metrics.push_back(std::move(out));
        ++sent;
    }
    flush();
    m_buffer.Clear();
    m_buffered = 0;
    m_lostForward += lost;
    Journal(kInfo, "sparkplug: " + std::to_string(sent) + " kept changes sent as history" +
                       (lost ? " (" + std::to_string(lost) + " of devices not there now dropped)"
                             : ""));
}

// ---- the loop: what came ------------------------------------------------------------

void SparkplugNode::Serve(CommandEntry& entry) {
    bool up;
    uint64_t session;
    std::deque<std::pair<std::string, std::string>> incoming;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        up = m_sessionUp;
        session = m_session;
        incoming.swap(m_incoming);
    }
    if (m_bornSession && (!up || m_bornSession != session)) {
        // the connection the node was born on is gone: so are its births
        m_bornSession = 0;
        m_online = false;
        for (auto& [id, d] : m_devices) {
            d.born = false;
            d.changed.clear();
        }
        m_dirty.clear();
    }
    const std::string state =
        std::string(kNamespace) + "/STATE/" + m_config.sparkplug.primaryHostId;
    for (const auto& [topic, payload] : incoming) {
        if (!m_config.sparkplug.primaryHostId.empty() && topic == state)
            TakeState(payload);
        else
            Take(entry, topic, payload);
    }
    const bool hostThere = m_config.sparkplug.primaryHostId.empty() || m_hostOnline;
    if (up && !m_bornSession && hostThere) {
        m_bornSession = session;
        m_rebirth = false;
        Births();
        Forward();
    } else if (m_bornSession && m_rebirth) {
        Births();
    }
    m_rebirth = false;
    if (m_bornSession) FlushData();
}

void SparkplugNode::Note(const std::string& line) {
    const int64_t window = static_cast<int64_t>(NowMs() / 10000);
    if (window != m_noteWindow) {
        m_noteWindow = window;
        m_notes = 0;
    }
    if (++m_notes <= 20) Journal(kWarning, "sparkplug: " + line);
}

void SparkplugNode::TakeState(const std::string& payload) {
    {
        std::lock_guard<std::mutex> hold(m_figuresLock);
        ++m_received["STATE"];
    }
    const nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (!j.is_object() || !j.contains("online") || !j["online"].is_boolean() ||
        !j.contains("timestamp") || !j["timestamp"].is_number_unsigned()) {
        Note("the primary host's STATE is not {\"online\": ..., \"timestamp\": ...}: ignored");
        return;
    }
    const bool online = j["online"].get<bool>();
    const uint64_t when = j["timestamp"].get<uint64_t>();
    if (when < m_hostTimestamp) return;  // older than what was heard: a stale retained one
    m_hostTimestamp = when;
    if (online == m_hostOnline) return;
    m_hostOnline = online;
    Journal(kInfo, "sparkplug: the primary host " + m_config.sparkplug.primaryHostId +
                       (online ? " is online" : " is offline"));
    if (!online && m_bornSession) {
        // away from this broker until the host is back: the broker tells the
        // node's death (its will)
        mosquitto_disconnect_v5(m_mosq, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    }
}

void SparkplugNode::Take(CommandEntry& entry, const std::string& topic,
                         const std::string& payload) {
    const std::string ncmd = Topic("NCMD"), dcmd = Topic("DCMD") + "/";
    std::string device;
    const bool node = topic == ncmd;
    if (!node && !After(topic, dcmd, &device)) return;
    {
        std::lock_guard<std::mutex> hold(m_figuresLock);
        ++m_received[node ? "NCMD" : "DCMD"];
    }
    sparkplug::Payload p;
    std::string why;
    if (!sparkplug::Decode(payload.data(), payload.size(), &p, &why)) {
        ++m_refused;
        Note((node ? "NCMD" : "DCMD " + device) + ": refused: " + why);
        return;
    }
    if (!m_bornSession) {
        ++m_refused;
        Note((node ? "NCMD" : "DCMD " + device) + ": refused: the node is not born");
        return;
    }
    if (node) return NodeCommand(p);
    Device* d = Find(device);
    if (!d) {
        ++m_refused;
        Note("DCMD: no device " + device + ": ignored");
        return;
    }
    DeviceCommand(entry, *d, p);
}

void SparkplugNode::NodeCommand(const sparkplug::Payload& p) {
    const uint64_t rebirthAlias = m_nodeMetrics[1].alias;
    for (const sparkplug::Metric& m : p.metrics) {
        const bool rebirth = m.name == kRebirth || (m.name.empty() && m.hasAlias && m.alias == rebirthAlias);
        if (!rebirth) {
            ++m_refused;
            Note("NCMD: " + (m.name.empty() ? "alias " + std::to_string(m.alias) : m.name) +
                 ": no such node control: ignored");
            continue;
        }
        if (m.kind != sparkplug::Metric::Kind::boolean) {
            ++m_refused;
            Note(std::string("NCMD: ") + kRebirth + ": not a Boolean: refused");
            continue;
        }
        if (m.boolean) m_rebirth = true;
    }
}

void SparkplugNode::DeviceCommand(CommandEntry& entry, Device& d, const sparkplug::Payload& p) {
    for (const sparkplug::Metric& m : p.metrics) {
        size_t index = d.metrics.size();
        if (m.hasAlias && m.name.empty()) {
            auto found = d.byAlias.find(m.alias);
            if (found != d.byAlias.end()) index = found->second;
        } else {
            auto found = d.byName.find(m.name);
            if (found != d.byName.end()) index = found->second;
        }
        const std::string named =
            m.name.empty() ? "alias " + std::to_string(m.alias) : "\"" + m.name + "\"";
        if (index == d.metrics.size()) {
            ++m_refused;
            Note("DCMD " + d.id + ": no metric " + named + ": ignored");
            continue;
        }
        const Metric& target = d.metrics[index];
        const bool boolean = m.kind == sparkplug::Metric::Kind::boolean;
        GatewayCommand c;
        c.ticket.origin = Origin::sparkplug;
        c.channel = d.channel;
        if (target.role == Metric::output) {
            c.kind = GatewayCommand::write;
            c.target = target.tag;
            // the payload rule of every way in: true asks for 1; false, and
            // anything that is not a Boolean, is refused
            c.payload = boolean ? (m.boolean ? "1" : "0") : "a value that is not a Boolean";
        } else if (target.role == Metric::enabled && boolean) {
            c.kind = GatewayCommand::station;
            c.target = d.station;
            c.payload = m.boolean ? "enable" : "disable";
        } else if (target.role == Metric::reset && boolean) {
            if (!m.boolean) continue;  // (false asks for nothing)
            c.kind = GatewayCommand::station;
            c.target = d.station;
            c.payload = "reset";
        } else {
            ++m_refused;
            Note("DCMD " + d.id + ": " + named +
                 (target.role == Metric::enabled || target.role == Metric::reset
                      ? " takes a Boolean: refused"
                      : " is not writable: refused"));
            continue;
        }
        const CommandReply reply = entry.Execute(c);
        if (reply.result == WriteResult::refused || reply.result == WriteResult::busy) ++m_refused;
    }
}

// ---- the loop: the channels' news ---------------------------------------------------

std::string SparkplugNode::DeviceId(const std::string& channel, const std::string& station) const {
    const std::string base = IdPart(channel) + "." + IdPart(station);
    std::string id = base;
    for (int n = 2; m_devices.count(id); ++n) id = base + "~" + std::to_string(n);
    return id;
}

SparkplugNode::Device* SparkplugNode::Find(const std::string& id) {
    auto found = m_devices.find(id);
    return found == m_devices.end() ? nullptr : &found->second;
}

void SparkplugNode::OnDescription(const std::string& channel, const std::string& json) {
    Channel& ch = m_channels[channel];
    if (ch.description == json) return;
    ch.description = json;
    Describe(channel, json);
}

void SparkplugNode::ForgetChannel(const std::string& channel) {
    auto ch = m_channels.find(channel);
    if (ch == m_channels.end()) return;
    for (const std::string& id : ch->second.devices) {
        Device* d = Find(id);
        if (d && m_bornSession) DeathDevice(*d);
        m_dirty.erase(id);
        m_devices.erase(id);
    }
    ch->second.devices.clear();
    ch->second.tags.clear();
}

void SparkplugNode::Describe(const std::string& channel, const std::string& json) {
    // a channel that changed dies and is born again with what it has now
    std::string description = m_channels[channel].description;
    ChannelState state = m_channels[channel].state;
    ForgetChannel(channel);
    Channel& ch = m_channels[channel];
    ch.description = description;
    ch.state = state;
    const nlohmann::json j = nlohmann::json::parse(json, nullptr, false);
    if (!j.is_object() || !j.contains("stations") || !j["stations"].is_array()) return;
    for (const nlohmann::json& st : j["stations"]) {
        if (!st.contains("name") || !st["name"].is_string()) continue;
        Device d;
        d.channel = channel;
        d.station = st["name"].get<std::string>();
        d.id = DeviceId(channel, d.station);
        auto add = [&d, this](Metric m) {
            m.alias = m_nextAlias++;
            m.value.name = m.name;
            m.value.hasDatatype = true;
            m.value.datatype = m.datatype;
            if (d.byName.count(m.name)) return;  // (a tag named as a station figure: the first)
            d.byName[m.name] = d.metrics.size();
            d.byAlias[m.alias] = d.metrics.size();
            d.metrics.push_back(std::move(m));
        };
        if (st.contains("tags") && st["tags"].is_array()) {
            for (const nlohmann::json& t : st["tags"]) {
                if (!t.contains("name") || !t["name"].is_string()) continue;
                Metric m;
                const bool output = t.value("kind", "") == "output";
                m.role = output ? Metric::output : Metric::input;
                m.name = m.tag = t["name"].get<std::string>();
                m.datatype = sparkplug::kBoolean;
                if (t.contains("bit") && t["bit"].is_number_integer()) m.bit = t["bit"].get<int>();
                if (output) {
                    m.value.kind = sparkplug::Metric::Kind::boolean;  // a command, never a state
                    m.value.boolean = false;
                }
                ch.tags[m.tag] = {d.id, d.metrics.size()};
                add(std::move(m));
            }
        }
        auto figure = [&add](Metric::Role role, const std::string& name, uint32_t type, int which = 0) {
            Metric m;
            m.role = role;
            m.name = name;
            m.datatype = type;
            m.which = which;
            add(std::move(m));
        };
        figure(Metric::state, "State", sparkplug::kString);
        figure(Metric::enabled, "Enabled", sparkplug::kBoolean);
        figure(Metric::counter, "Controls", sparkplug::kUInt32, 0);
        figure(Metric::counter, "Control Failures", sparkplug::kUInt32, 1);
        figure(Metric::counter, "Polls", sparkplug::kUInt32, 2);
        figure(Metric::counter, "Poll Failures", sparkplug::kUInt32, 3);
        figure(Metric::statusByte, "Status Byte", sparkplug::kUInt8);
        Metric reset;
        reset.role = Metric::reset;
        reset.name = "Reset Counters";
        reset.datatype = sparkplug::kBoolean;
        reset.value.kind = sparkplug::Metric::Kind::boolean;
        reset.value.boolean = false;
        add(std::move(reset));
        ch.devices.push_back(d.id);
        const std::string id = d.id;
        m_devices.emplace(id, std::move(d));
    }
}

void SparkplugNode::KeepChannels(const std::set<std::string>& names) {
    std::vector<std::string> gone;
    for (const auto& [name, ch] : m_channels)
        if (!names.count(name)) gone.push_back(name);
    for (const std::string& name : gone) {
        ForgetChannel(name);
        m_channels.erase(name);
    }
}

void SparkplugNode::OnValue(const std::string& channel, const std::string& tag, double value) {
    auto ch = m_channels.find(channel);
    if (ch == m_channels.end()) return;
    auto t = ch->second.tags.find(tag);
    if (t == ch->second.tags.end()) return;
    Device* d = Find(t->second.first);
    if (!d) return;
    Metric& m = d->metrics[t->second.second];
    if (m.role != Metric::input) return;  // (an output tells no state)
    const uint64_t now = NowMs();
    sparkplug::Metric v;
    v.kind = sparkplug::Metric::Kind::boolean;
    v.boolean = value != 0;
    Change(*d, t->second.second, v, now);
    // the status byte, from the station's input bits
    uint64_t status = 0;
    bool any = false;
    for (const Metric& in : d->metrics)
        if (in.role == Metric::input && in.bit >= 0 && in.bit < 8 &&
            in.value.kind == sparkplug::Metric::Kind::boolean) {
            any = true;
            if (in.value.boolean) status |= 1u << in.bit;
        }
    if (!any) return;
    sparkplug::Metric s;
    s.kind = sparkplug::Metric::Kind::integer;
    s.integer = status;
    Change(*d, d->byName["Status Byte"], s, now);
}

void SparkplugNode::OnStation(const std::string& channel, const std::string& station,
                              const StationState& state) {
    auto ch = m_channels.find(channel);
    if (ch == m_channels.end()) return;
    Device* d = nullptr;
    for (const std::string& id : ch->second.devices) {
        Device* candidate = Find(id);
        if (candidate && candidate->station == station) d = candidate;
    }
    if (!d) return;
    const uint64_t now = NowMs();
    for (size_t i = 0; i < d->metrics.size(); ++i) {
        const Metric& m = d->metrics[i];
        sparkplug::Metric v;
        if (m.role == Metric::state) {
            v.kind = sparkplug::Metric::Kind::text;
            v.text = StationHealthName(state.state);
        } else if (m.role == Metric::enabled) {
            v.kind = sparkplug::Metric::Kind::boolean;
            v.boolean = state.state != StationHealth::disabled;
        } else if (m.role == Metric::counter) {
            const int32_t counts[] = {state.controls, state.controlFailures, state.polls,
                                      state.pollFailures};
            v.kind = sparkplug::Metric::Kind::integer;
            v.integer = static_cast<uint32_t>(counts[m.which]);
        } else {
            continue;
        }
        Change(*d, i, v, now);
    }
    d->state = state;
    d->stated = true;
    Reconsider(*d);
}

void SparkplugNode::OnChannelState(const std::string& channel, ChannelState state) {
    auto ch = m_channels.find(channel);
    if (ch == m_channels.end()) return;
    ch->second.state = state;
    for (const std::string& id : ch->second.devices)
        if (Device* d = Find(id)) Reconsider(*d);
}

void SparkplugNode::OnWriteResult(const std::string& channel, const std::string& tag,
                                  const CommandReply& outcome, const CommandTicket&) {
    if (outcome.result == WriteResult::queued) return;
    auto ch = m_channels.find(channel);
    if (ch == m_channels.end()) return;
    auto t = ch->second.tags.find(tag);
    if (t == ch->second.tags.end()) return;
    Device* d = Find(t->second.first);
    if (!d || !d->born) return;
    // the output's value again (false: a command is no state), with the
    // time its outcome came: a host that wrote true sees it taken
    Metric& m = d->metrics[t->second.second];
    m.value.timestamp = NowMs();
    if (std::find(d->changed.begin(), d->changed.end(), t->second.second) == d->changed.end())
        d->changed.push_back(t->second.second);
    m_dirty.insert(d->id);
}

void SparkplugNode::OnStationResult(const std::string&, const std::string&, const CommandReply&,
                                    const CommandTicket&) {
    // (what a station command changes comes as the station's state)
}

SparkplugNode::Figures SparkplugNode::Read() const {
    Figures f;
    f.connected = m_connected;
    f.online = m_online;
    f.bdSeq = m_bdSeq;
    f.buffered = m_buffered;
    f.dropped = m_dropped + m_lostForward;
    f.refused = m_refused;
    std::lock_guard<std::mutex> hold(m_figuresLock);
    f.sent = m_sent;
    f.received = m_received;
    return f;
}
