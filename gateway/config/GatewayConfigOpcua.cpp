// The gateway's TOML file: [opcua], the OPC UA server.
#include <algorithm>

#include "gateway/config/ConfigTable.h"
#include "gateway/config/WebUsersFile.h"

bool GatewayOpcuaConfig::HasPolicy(const std::string& name) const {
    return std::find(security.begin(), security.end(), name) != security.end();
}

namespace gwconfig {

namespace {
constexpr const char* kPolicies[] = {"None",
                                     "Basic256Sha256:Sign",
                                     "Basic256Sha256:SignAndEncrypt",
                                     "Aes128_Sha256_RsaOaep:Sign",
                                     "Aes128_Sha256_RsaOaep:SignAndEncrypt"};
}  // namespace

void ReadOpcua(const Table& t, const std::string& base, GatewayConfig* c) {
    t.Only();
    GatewayOpcuaConfig& o = c->opcua;
    o.enabled = true;
    o.listen = t.String("listen", o.listen);
    if (o.listen.empty()) t.Refuse("listen", "is empty");
    o.port = t.Integer("port", o.port, 1, 65535);
    const bool loopback = IsLoopbackAddress(o.listen);
    if (t.Has("security")) {
        o.security = t.Strings("security");
        if (o.security.empty()) t.Refuse("security", "names no security policy");
        for (const std::string& s : o.security)
            if (std::find_if(std::begin(kPolicies), std::end(kPolicies),
                             [&](const char* p) { return s == p; }) == std::end(kPolicies))
                t.Refuse("security",
                         "\"" + s +
                             "\" is none of \"None\", \"Basic256Sha256:Sign\", "
                             "\"Basic256Sha256:SignAndEncrypt\", \"Aes128_Sha256_RsaOaep:Sign\", "
                             "\"Aes128_Sha256_RsaOaep:SignAndEncrypt\"");
    } else {
        o.security = loopback ? std::vector<std::string>{"None", "Basic256Sha256:SignAndEncrypt"}
                              : std::vector<std::string>{"Basic256Sha256:SignAndEncrypt"};
    }
    o.certFile = Absolute(base, t.String("cert_file"));
    o.keyFile = Absolute(base, t.String("key_file"));
    if (o.certFile.empty() != o.keyFile.empty())
        t.Refuse(o.certFile.empty() ? "cert_file" : "key_file", "cert_file and key_file go together");
    if (!o.keyFile.empty()) {
        std::string key, error;
        if (!ReadPrivateFile(o.keyFile, &key, &error)) t.Refuse("key_file", error);
    }
    o.trustDir = Absolute(base, t.String("trust_dir", "/var/lib/krandolix/" + c->id + "-opcua"));
    o.anonymous = t.String("anonymous");
    if (!o.anonymous.empty() && o.anonymous != "viewer" && o.anonymous != "operator")
        t.Refuse("anonymous", "must be \"viewer\" or \"operator\" (or left out: no anonymous sign-in)");
    o.allowInsecure = t.Boolean("allow_insecure", false);
    o.readOnly = t.Boolean("read_only", c->readOnly);
    o.maxSessions = t.Integer("max_sessions", o.maxSessions, 1, 1000);
    o.maxSubscriptions = t.Integer("max_subscriptions", o.maxSubscriptions, 1, 1000);
    o.maxMonitoredItems = t.Integer("max_monitored_items", o.maxMonitoredItems, 1, 100000);
    o.maxMessageSize = t.Integer("max_message_size", o.maxMessageSize, 65536, 64 << 20);
    if (c->web.enabled && c->web.port == o.port && c->web.listen == o.listen)
        t.Refuse("port", "is the web page's port");
    if (c->modbus.enabled && c->modbus.port == o.port && c->modbus.listen == o.listen)
        t.Refuse("port", "is the Modbus server's port");
    // who signs in: the page's users file, else anonymous alone
    if (c->web.usersFile.empty() && o.anonymous.empty())
        t.Refuse("anonymous",
                 "nobody could sign in: give [web] users_file (its users sign in here too) or "
                 "anonymous = \"viewer\"");
    if (loopback || o.allowInsecure) return;
    if (o.HasPolicy("None"))
        t.Refuse("security",
                 "is not limited to signed and encrypted policies while listen is not a loopback "
                 "address: with \"None\" the values, the commands and the passwords cross the "
                 "network readable by anyone on it; leave \"None\" out, or set allow_insecure = "
                 "true to serve it so anyway");
    if (!o.anonymous.empty())
        t.Refuse("anonymous",
                 "is set while listen is not a loopback address: anyone on the network could "
                 "sign in; leave it out, or set allow_insecure = true to serve it so anyway");
}

}  // namespace gwconfig
