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
#include "gateway/WebUsers.h"

namespace {

struct ConfigRefusal {
    std::string text;
};

std::string Folder(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string Absolute(const std::string& base, const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    return base + "/" + path;
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !*name) return "gateway";
    return name;
}

// Checks one table: every key known, every value of its type.
class Table {
public:
    Table(const std::string& file, const std::string& name, const toml::table& t)
        : m_file(file), m_name(name), m_table(t) {}

    // Refuses keys the table does not know.
    void Only(std::initializer_list<const char*> keys) const {
        for (const auto& [key, node] : m_table) {
            bool known = false;
            for (const char* k : keys) known = known || key.str() == k;
            if (!known) Refuse(node, std::string(key.str()), "unknown key");
        }
    }

    bool Has(const char* key) const { return m_table.contains(key); }

    std::string String(const char* key, const std::string& fallback = "") const {
        const toml::node* n = m_table.get(key);
        if (!n) return fallback;
        if (!n->is_string()) Refuse(*n, key, "must be a string");
        return n->as_string()->get();
    }

    int Integer(const char* key, int fallback, int low, int high) const {
        const toml::node* n = m_table.get(key);
        if (!n) return fallback;
        if (!n->is_integer()) Refuse(*n, key, "must be a whole number");
        int64_t v = n->as_integer()->get();
        if (v < low || v > high)
            Refuse(*n, key, "must be from " + std::to_string(low) + " to " + std::to_string(high));
        return static_cast<int>(v);
    }

    std::vector<std::string> Strings(const char* key) const {
        std::vector<std::string> out;
        const toml::node* n = m_table.get(key);
        if (!n) return out;
        if (!n->is_array()) Refuse(*n, key, "must be a list of names");
        for (const toml::node& item : *n->as_array()) {
            if (!item.is_string() || item.as_string()->get().empty())
                Refuse(*n, key, "must be a list of names");
            out.push_back(item.as_string()->get());
        }
        return out;
    }

    bool Boolean(const char* key, bool fallback) const {
        const toml::node* n = m_table.get(key);
        if (!n) return fallback;
        if (!n->is_boolean()) Refuse(*n, key, "must be true or false");
        return n->as_boolean()->get();
    }

    [[noreturn]] void Refuse(const toml::node& n, const std::string& key,
                             const std::string& what) const {
        throw ConfigRefusal{Where(n, key) + ": " + what};
    }
    // "FILE:LINE: TABLE.KEY" of a key (of the table itself when it lacks the key)
    std::string Where(const toml::node& table, const std::string& key) const {
        const toml::node* n = m_table.get(key);
        std::ostringstream out;
        out << m_file << ":" << (n ? n->source() : table.source()).begin.line << ": " << m_name
            << "." << key;
        return out.str();
    }
    [[noreturn]] void Refuse(const std::string& key, const std::string& what) const {
        throw ConfigRefusal{m_file + ": " + m_name + "." + key + ": " + what};
    }

private:
    std::string m_file, m_name;
    const toml::table& m_table;
};

const toml::table& SubTable(const std::string& file, const toml::table& root, const char* name,
                            const toml::table& empty) {
    const toml::node* n = root.get(name);
    if (!n) return empty;
    if (!n->is_table()) {
        throw ConfigRefusal{file + ":" + std::to_string(n->source().begin.line) + ": " + name +
                            ": must be a table"};
    }
    return *n->as_table();
}

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

void ReadWeb(const Table& web, const std::string& base, GatewayConfig* c) {
    web.Only({"listen", "port", "user", "password_file", "users_file", "read_only", "server_names",
              "cert_file", "key_file", "allow_plain_http"});
    GatewayWebConfig& w = c->web;
    w.enabled = true;
    w.listen = web.String("listen", w.listen);
    if (w.listen.empty()) web.Refuse("listen", "is empty");
    w.port = web.Integer("port", w.port, 1, 65535);
    w.user = web.String("user");
    w.passwordFile = Absolute(base, web.String("password_file"));
    w.readOnly = web.Boolean("read_only", c->readOnly);
    w.serverNames = web.Strings("server_names");
    if (w.user.empty() != w.passwordFile.empty())
        web.Refuse(w.user.empty() ? "user" : "password_file", "user and password_file go together");
    if (!w.passwordFile.empty()) {
        std::string secret, error;
        if (!ReadSecretFile(w.passwordFile, &secret, &error)) web.Refuse("password_file", error);
    }
    w.certFile = Absolute(base, web.String("cert_file"));
    w.keyFile = Absolute(base, web.String("key_file"));
    w.allowPlainHttp = web.Boolean("allow_plain_http", false);
    if (w.certFile.empty() != w.keyFile.empty())
        web.Refuse(w.certFile.empty() ? "cert_file" : "key_file",
                   "cert_file and key_file go together");
    if (w.Tls()) {
        std::string key, error;
        if (!ReadPrivateFile(w.keyFile, &key, &error)) web.Refuse("key_file", error);
    }
    w.usersFile = Absolute(base, web.String("users_file"));
    if (!w.usersFile.empty()) {
        if (!w.user.empty())
            web.Refuse("users_file", "users_file, or user and password_file: not both");
        std::vector<WebUser> users;
        std::string error;
        if (!ReadWebUsers(w.usersFile, &users, &error)) web.Refuse("users_file", error);
    }
    if (IsLoopbackAddress(w.listen)) return;
    if (w.user.empty() && w.usersFile.empty())
        web.Refuse("listen",
                   "is not a loopback address: users_file, or user and password_file, is required");
    if (!w.Tls() && !w.allowPlainHttp)
        web.Refuse("listen",
                   "is not a loopback address: over plain HTTP the password crosses the network "
                   "readable by anyone on it; give cert_file and key_file (HTTPS), or set "
                   "allow_plain_http = true to serve it so anyway");
}

void ReadChannels(const std::string& path, const toml::table& root, const std::string& base,
                  GatewayConfig* c);

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
            k != "web") {
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
