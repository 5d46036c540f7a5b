#include "gateway/config/GatewayConfig.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "config/LineSettings.h"
#include "gateway/config/ConfigTable.h"
#include "gateway/core/Topics.h"

using namespace gwconfig;

namespace {

// [gateway]: the defaults are GatewayConfig's own.
void ReadGateway(const Table& gw, GatewayConfig* c) {
    gw.Only();
    c->id = gw.String("id", HostName());
    if (!IsTopicLevel(c->id)) gw.Refuse("id", "cannot be a topic level");
    c->topicPrefix = gw.String("topic_prefix", "krandolix/" + c->id);
    if (c->topicPrefix.empty() || c->topicPrefix.find_first_of("+#") != std::string::npos)
        gw.Refuse("topic_prefix", "cannot begin a topic");
    c->readOnly = gw.Boolean("read_only", c->readOnly);
    c->statusInterval = gw.Integer("status_interval", c->statusInterval, 1, 86400);
}

void ReadBroker(const Table& broker, const std::string& base, GatewayConfig* c) {
    broker.Only();
    if (!broker.Has("host")) broker.Refuse("host", "is required");
    c->host = broker.String("host");
    if (c->host.empty()) broker.Refuse("host", "is empty");
    c->port = broker.Integer("port", c->port, 1, 65535);
    c->clientId = broker.String("client_id", "krandolix-" + c->id);
    c->keepalive = broker.Integer("keepalive", c->keepalive, 5, 65535);
    c->sessionExpiry = broker.Integer("session_expiry", c->sessionExpiry, 0, 7 * 86400);
    c->username = broker.String("username");
    c->passwordFile = Absolute(base, broker.String("password_file"));
    c->caFile = Absolute(base, broker.String("ca_file"));
    c->certFile = Absolute(base, broker.String("cert_file"));
    c->keyFile = Absolute(base, broker.String("key_file"));
    if (!c->passwordFile.empty()) {
        std::string secret, error;
        if (!ReadSecretFile(c->passwordFile, &secret, &error))
            broker.Refuse("password_file", error);
    }
    if (c->certFile.empty() != c->keyFile.empty())
        broker.Refuse(c->certFile.empty() ? "cert_file" : "key_file",
                      "cert_file and key_file go together");
}

// COM2 = { device = "/dev/ttyS1", rs485 = true, rts_on_send = true, ... }
void ReadPortTable(const Table& t, const toml::table& table, GatewayPortConfig* port) {
    t.Only();
    port->device = t.String("device");
    if (port->device.empty()) t.Refuse(table, "device", "must name a device");
    Rs485Settings& r = port->rs485;
    r.enabled = t.Boolean("rs485", false);
    r.rtsOnSend = t.Boolean("rts_on_send", r.rtsOnSend);
    r.rtsAfterSend = t.Boolean("rts_after_send", r.rtsAfterSend);
    r.delayBeforeSendMs = t.Integer("delay_before_send_ms", 0, 0, kRs485MaxDelayMs);
    r.delayAfterSendMs = t.Integer("delay_after_send_ms", 0, 0, kRs485MaxDelayMs);
    const std::string problem = Rs485SettingsProblem(r);
    if (!problem.empty()) t.Refuse(table, "rts_on_send", problem);
}

void ReadPorts(const std::string& path, const toml::table& ports, GatewayConfig* c) {
    for (const auto& [key, node] : ports) {
        std::string k(key.str());
        // the number read digit by digit: a long one is out of range, not an exception
        int n = 0;
        bool number = k.size() > 3 && k.size() <= 8 && k.compare(0, 3, "COM") == 0 &&
                      k.find_first_not_of("0123456789", 3) == std::string::npos;
        for (size_t i = 3; number && i < k.size(); ++i) n = n * 10 + (k[i] - '0');
        auto where = path + ":" + std::to_string(node.source().begin.line) + ": ports." + k;
        if (!number || n < 1 || n > line::kPortCount)
            throw ConfigRefusal{where + ": a port is COM1 to COM" +
                                std::to_string(line::kPortCount)};
        GatewayPortConfig& port = c->ports[n];
        if (node.is_table()) {
            ReadPortTable(Table(path, "ports." + k, *node.as_table(), "port"), *node.as_table(),
                          &port);
        } else if (node.is_string() && !node.as_string()->get().empty()) {
            port.device = node.as_string()->get();
        } else {
            throw ConfigRefusal{where +
                                ": must name a device, or be a table with device = \"...\""};
        }
    }
}

void ReadModbus(const Table& mb, GatewayConfig* c) {
    mb.Only();
    GatewayModbusConfig& m = c->modbus;
    m.enabled = true;
    m.listen = mb.String("listen", m.listen);
    if (m.listen.empty()) mb.Refuse("listen", "is empty");
    m.port = mb.Integer("port", m.port, 1, 65535);
    m.maxClients = mb.Integer("max_clients", m.maxClients, 1, 1000);
    m.idleTimeout = mb.Integer("idle_timeout", m.idleTimeout, 1, 86400);
    m.readOnly = mb.Boolean("read_only", c->readOnly);
}

void ReadChannels(const std::string& path, const toml::table& root, const std::string& base,
                  GatewayConfig* c);

// [history]: the database (by default in the service's state folder, named
// for the gateway), how long events are kept, whether values are recorded.
void ReadHistory(const Table& h, const std::string& base, GatewayConfig* c) {
    h.Only();
    HistoryConfig& history = c->history;
    history.enabled = true;
    history.path = Absolute(base, h.String("path", "/var/lib/krandolix/" + c->id + ".db"));
    if (IsFolder(history.path)) h.Refuse("path", "is a folder: name the database file");
    history.days = h.Integer("days", history.days, 1, 36500);
    history.maxRows = h.Integer("max_rows", static_cast<int>(history.maxRows), 10, 1000000000);
    history.values = h.Boolean("values", history.values);
}

void Read(const std::string& path, GatewayConfig* c) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::ostringstream out;
        out << path << ":" << e.source().begin.line << ": " << e.description();
        throw ConfigRefusal{out.str()};
    }
    const std::string base = Folder(path);
    for (const auto& [key, node] : root) {
        std::string k(key.str());
        if (k != "gateway" && k != "broker" && k != "ports" && k != "channel" && k != "modbus" &&
            k != "opcua" && k != "sparkplug" && k != "web" && k != "metrics" && k != "history") {
            throw ConfigRefusal{path + ":" + std::to_string(node.source().begin.line) + ": " + k +
                                ": unknown table"};
        }
    }
    const toml::table empty;
    ReadGateway(Table(path, "gateway", SubTable(path, root, "gateway", empty), nullptr, c), c);
    if (!root.contains("broker")) throw ConfigRefusal{path + ": broker: the table is required"};
    ReadBroker(Table(path, "broker", SubTable(path, root, "broker", empty), nullptr, c), base, c);
    ReadPorts(path, SubTable(path, root, "ports", empty), c);
    if (root.contains("modbus"))
        ReadModbus(Table(path, "modbus", SubTable(path, root, "modbus", empty), nullptr, c), c);
    if (root.contains("web"))
        ReadWeb(Table(path, "web", SubTable(path, root, "web", empty), nullptr, c), base, c);
    if (root.contains("opcua"))
        ReadOpcua(Table(path, "opcua", SubTable(path, root, "opcua", empty), nullptr, c), base, c);
    if (root.contains("sparkplug"))
        ReadSparkplug(Table(path, "sparkplug", SubTable(path, root, "sparkplug", empty), nullptr, c),
                      base, c);
    if (root.contains("history"))
        ReadHistory(Table(path, "history", SubTable(path, root, "history", empty), nullptr, c),
                    base, c);
    if (root.contains("metrics"))
        ReadMetrics(Table(path, "metrics", SubTable(path, root, "metrics", empty), nullptr, c),
                    base, c);
    ReadChannels(path, root, base, c);
}

void ReadChannels(const std::string& path, const toml::table& root, const std::string& base,
                  GatewayConfig* c) {
    const toml::node* channels = root.get("channel");
    if (!channels) throw ConfigRefusal{path + ": channel: at least one [[channel]] is required"};
    if (!channels->is_array_of_tables())
        throw ConfigRefusal{path + ":" + std::to_string(channels->source().begin.line) +
                            ": channel: must be [[channel]] tables"};
    std::set<std::string> names;
    std::set<int> units;
    int position = 0;
    for (const toml::node& n : *channels->as_array()) {
        ++position;
        std::string label = "channel[" + std::to_string(position) + "]";
        Table ch(path, label, *n.as_table(), "channel");
        ch.Only();
        if (!ch.Has("name")) ch.Refuse(n, "name", "is required");
        if (!ch.Has("config")) ch.Refuse(n, "config", "is required");
        GatewayChannelConfig cc;
        cc.name = ch.String("name");
        if (!IsTopicLevel(cc.name))
            ch.Refuse(n, "name", "\"" + cc.name + "\" cannot be a topic level");
        if (!names.insert(cc.name).second)
            ch.Refuse(n, "name", "\"" + cc.name + "\" names two channels");
        cc.configPath = Absolute(base, ch.String("config"));
        if (cc.configPath.empty()) ch.Refuse(n, "config", "is empty");
        cc.tagsPath = Absolute(base, ch.String("tags"));
        if (IsFolder(cc.configPath)) ch.Refuse(n, "config", cc.configPath + " is a folder");
        if (ch.Has("tags") && cc.tagsPath.empty()) ch.Refuse(n, "tags", "is empty");
        if (IsFolder(cc.tagsPath)) ch.Refuse(n, "tags", cc.tagsPath + " is a folder");
        cc.unitId = ch.Integer("unit_id", position, 1, 247);
        if (!units.insert(cc.unitId).second)
            ch.Refuse(n, "unit_id", std::to_string(cc.unitId) + " is another channel's");
        cc.configWhere = ch.Where(n, "config");
        cc.tagsWhere = ch.Where(n, "tags");
        c->channels.push_back(cc);
    }
}

}  // namespace

bool LoadGatewayConfig(const std::string& path, GatewayConfig* config, std::string* error) {
    GatewayConfig c;
    c.path = path;
    try {
        Read(path, &c);
    } catch (const ConfigRefusal& r) {
        *error = r.text;
        return false;
    } catch (const std::exception& e) {
        // nothing in the reader may end the program that reloads
        *error = path + ": cannot be read: " + e.what();
        return false;
    }
    *config = std::move(c);
    return true;
}

std::vector<std::string> TablesNeedingRestart(const GatewayConfig& c, const GatewayConfig& fresh) {
    // every key a reload cannot apply, as either file has it read
    std::vector<std::string> tables;
    for (const ConfigKey& k : kConfigKeys) {
        const std::string table = "[" + std::string(k.table) + "]";
        if (k.live || std::find(tables.begin(), tables.end(), table) != tables.end()) continue;
        for (const std::string& name : {std::string(k.table), std::string(k.table) + "." + k.key}) {
            auto a = c.restartKeys.find(name), b = fresh.restartKeys.find(name);
            const bool same = (a == c.restartKeys.end()) == (b == fresh.restartKeys.end()) &&
                              (a == c.restartKeys.end() || a->second == b->second);
            if (!same) {
                tables.push_back(table);
                break;
            }
        }
    }
    return tables;
}
