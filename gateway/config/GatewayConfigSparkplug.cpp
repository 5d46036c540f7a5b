// The gateway's TOML file: [sparkplug], the gateway as a Sparkplug B edge node.
#include <cstdint>

#include "gateway/config/ConfigTable.h"

namespace gwconfig {

namespace {

// Well-formed UTF-8, no overlong forms, no surrogates, nothing past U+10FFFF.
bool ValidUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int more;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + more >= text.size()) return false;
        for (int k = 1; k <= more; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

// A Sparkplug id (a topic level of its own): not empty, UTF-8, none of / + #.
std::string SparkplugIdFault(const std::string& id) {
    if (id.empty()) return "is empty";
    if (!ValidUtf8(id)) return "is not valid UTF-8";
    if (id.find_first_of("/+#") != std::string::npos)
        return "\"" + id + "\" has a /, + or #, which Sparkplug reserves";
    return "";
}

}  // namespace

void ReadSparkplug(const Table& t, const std::string& base, GatewayConfig* c) {
    t.Only();
    GatewaySparkplugConfig& s = c->sparkplug;
    s.enabled = true;
    if (!t.Has("group_id")) t.Refuse("group_id", "is required (the Sparkplug group of the node)");
    s.groupId = t.String("group_id");
    s.edgeNodeId = t.String("edge_node_id", c->id);
    s.primaryHostId = t.String("primary_host_id");
    const std::pair<const char*, const std::string*> ids[] = {
        {"group_id", &s.groupId}, {"edge_node_id", &s.edgeNodeId}};
    for (const auto& [key, id] : ids) {
        const std::string fault = SparkplugIdFault(*id);
        if (!fault.empty()) t.Refuse(key, fault);
    }
    if (t.Has("primary_host_id")) {
        const std::string fault = SparkplugIdFault(s.primaryHostId);
        if (!fault.empty()) t.Refuse("primary_host_id", fault);
    }
    s.host = t.String("host", c->host);
    if (s.host.empty()) t.Refuse("host", "is empty");
    s.port = t.Integer("port", c->port, 1, 65535);
    s.clientId = t.String("client_id", "krandolix-" + c->id + "-sparkplug");
    if (s.clientId.empty() || s.clientId == c->clientId)
        t.Refuse("client_id", "must be a client id of its own (not [broker]'s)");
    s.username = t.String("username", c->username);
    s.passwordFile = t.Has("password_file") ? Absolute(base, t.String("password_file"))
                                            : c->passwordFile;
    s.stateDir = Absolute(base, t.String("state_dir", "/var/lib/krandolix/" + c->id + "-sparkplug"));
    s.buffer = t.Integer("buffer", s.buffer, 0, 10000000);
    s.readOnly = t.Boolean("read_only", c->readOnly);
}

}  // namespace gwconfig
