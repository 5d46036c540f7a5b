#include "gateway/GatewayConfig.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "config/LineSettings.h"
#include "gateway/ConfigTable.h"

using namespace gwconfig;

namespace {

// [gateway]: the defaults are GatewayConfig's own.
void ReadGateway(const Table& gw, GatewayConfig* c) {
    gw.Only({"id", "topic_prefix", "read_only", "status_interval"});
    c->id = gw.String("id", HostName());
    if (!IsTopicLevel(c->id)) gw.Refuse("id", "cannot be a topic level");
    c->topicPrefix = gw.String("topic_prefix", "krandolix/" + c->id);
    if (c->topicPrefix.empty() || c->topicPrefix.find_first_of("+#") != std::string::npos)
        gw.Refuse("topic_prefix", "cannot begin a topic");
    c->readOnly = gw.Boolean("read_only", c->readOnly);
    c->statusInterval = gw.Integer("status_interval", c->statusInterval, 1, 86400);
}

void ReadBroker(const Table& broker, const std::string& base, GatewayConfig* c) {
    broker.Only({"host", "port", "client_id", "keepalive", "session_expiry", "username",
                 "password_file", "ca_file", "cert_file", "key_file"});
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
    t.Only({"device", "rs485", "rts_on_send", "rts_after_send", "delay_before_send_ms",
            "delay_after_send_ms"});
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
            ReadPortTable(Table(path, "ports." + k, *node.as_table()), *node.as_table(), &port);
        } else if (node.is_string() && !node.as_string()->get().empty()) {
            port.device = node.as_string()->get();
        } else {
            throw ConfigRefusal{where +
                                ": must name a device, or be a table with device = \"...\""};
        }
    }
}

void ReadModbus(const Table& mb, GatewayConfig* c) {
    mb.Only({"listen", "port", "max_clients", "idle_timeout", "read_only"});
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
    h.Only({"path", "days", "max_rows", "values"});
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
            k != "web" && k != "metrics" && k != "history") {
            throw ConfigRefusal{path + ":" + std::to_string(node.source().begin.line) + ": " + k +
                                ": unknown table"};
        }
    }
    const toml::table empty;
    ReadGateway(Table(path, "gateway", SubTable(path, root, "gateway", empty)), c);
    if (!root.contains("broker")) throw ConfigRefusal{path + ": broker: the table is required"};
    ReadBroker(Table(path, "broker", SubTable(path, root, "broker", empty)), base, c);
    ReadPorts(path, SubTable(path, root, "ports", empty), c);
    if (root.contains("modbus"))
        ReadModbus(Table(path, "modbus", SubTable(path, root, "modbus", empty)), c);
    if (root.contains("web"))
        ReadWeb(Table(path, "web", SubTable(path, root, "web", empty)), base, c);
    if (root.contains("history"))
        ReadHistory(Table(path, "history", SubTable(path, root, "history", empty)), base, c);
    if (root.contains("metrics"))
        ReadMetrics(Table(path, "metrics", SubTable(path, root, "metrics", empty)), base, c);
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
        Table ch(path, label, *n.as_table());
        ch.Only({"name", "config", "tags", "unit_id"});
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

bool IsTopicLevel(const std::string& text, bool allowSlash) {
    return !text.empty() && text.find_first_of(allowSlash ? "+#" : "+#/") == std::string::npos &&
           text.find('\0') == std::string::npos;
}

bool IsLoopbackAddress(const std::string& address) {
    // the parsed address, not its text: "127.0.0.1.example" is a name anywhere
    if (address == "localhost") return true;
    in_addr v4;
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6;
    return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool ListenAddress(const std::string& listen, int port, sockaddr_storage* address,
                   unsigned* length) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(listen.c_str(), service.c_str(), &hints, &found) != 0 || !found) return false;
    std::memcpy(address, found->ai_addr, found->ai_addrlen);
    *length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    // (an empty file inserts nothing, which the stream counts as failing)
    std::ostringstream all;
    if (in.peek() != std::ifstream::traits_type::eof()) all << in.rdbuf();
    *bytes = all.str();
    return true;
}

bool ReadPrivateFile(const std::string& path, std::string* text, std::string* error) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *error = path + ": cannot be read";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": is not a file";
        return false;
    }
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        *error = path + ": others may read it (chmod 600 it)";
        return false;
    }
    if (!ReadWholeFile(path, text)) {
        *error = path + ": cannot be read";
        return false;
    }
    return true;
}

bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error) {
    std::string text;
    if (!ReadPrivateFile(path, &text, error)) return false;
    *secret = text.substr(0, text.find('\n'));
    while (!secret->empty() && (secret->back() == '\r' || secret->back() == ' '))
        secret->pop_back();
    if (secret->empty()) {
        *error = path + ": holds no password";
        return false;
    }
    return true;
}

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
    std::vector<std::string> tables;
    auto note = [&](bool changed, const char* table) {
        if (changed) tables.push_back(table);
    };
    note(fresh.id != c.id || fresh.topicPrefix != c.topicPrefix, "[gateway]");
    note(fresh.host != c.host || fresh.port != c.port || fresh.clientId != c.clientId ||
             fresh.username != c.username || fresh.passwordFile != c.passwordFile ||
             fresh.caFile != c.caFile || fresh.certFile != c.certFile ||
             fresh.keyFile != c.keyFile || fresh.keepalive != c.keepalive ||
             fresh.sessionExpiry != c.sessionExpiry,
         "[broker]");
    note(fresh.modbus.enabled != c.modbus.enabled || fresh.modbus.listen != c.modbus.listen ||
             fresh.modbus.port != c.modbus.port || fresh.modbus.maxClients != c.modbus.maxClients ||
             fresh.modbus.idleTimeout != c.modbus.idleTimeout,
         "[modbus]");
    note(fresh.web.enabled != c.web.enabled || fresh.web.listen != c.web.listen ||
             fresh.web.port != c.web.port || fresh.web.user != c.web.user ||
             fresh.web.passwordFile != c.web.passwordFile ||
             fresh.web.serverNames != c.web.serverNames || fresh.web.certFile != c.web.certFile ||
             fresh.web.keyFile != c.web.keyFile ||
             fresh.web.allowPlainHttp != c.web.allowPlainHttp ||
             fresh.web.usersFile != c.web.usersFile || fresh.web.metrics != c.web.metrics ||
             fresh.web.metricsTokenFile != c.web.metricsTokenFile ||
             fresh.web.sessionIdleMinutes != c.web.sessionIdleMinutes,
         "[web]");
    note(fresh.metrics.enabled != c.metrics.enabled || fresh.metrics.listen != c.metrics.listen ||
             fresh.metrics.port != c.metrics.port || fresh.metrics.tokenFile != c.metrics.tokenFile,
         "[metrics]");
    note(fresh.history.enabled != c.history.enabled || fresh.history.path != c.history.path ||
             fresh.history.days != c.history.days || fresh.history.maxRows != c.history.maxRows ||
             fresh.history.values != c.history.values,
         "[history]");
    return tables;
}
