// Every key of the gateway's TOML file, declared once: its table, its type,
// its default as the manual gives it, and whether a reload (SIGHUP) applies
// a change at once or only a restart does. The readers take their known keys
// from here, the reload its restart rule, and the tests check the manual and
// the readers against it.
#pragma once

#include <cstddef>
#include <cstring>

namespace gwconfig {

enum class KeyType { text, whole, boolean, names };

struct ConfigKey {
    const char* table;  // gateway, broker, port (a COMn = { ... } of [ports]), modbus, opcua, web,
                        // metrics, history, channel
    const char* key;
    KeyType type;
    const char* fallback;  // as the manual writes it ("" where there is none)
    bool live;             // a reload applies it at once; else it names its table for a restart
};

inline constexpr ConfigKey kConfigKeys[] = {
    {"gateway", "id", KeyType::text, "the host name", false},
    {"gateway", "topic_prefix", KeyType::text, "krandolix/<id>", false},
    {"gateway", "read_only", KeyType::boolean, "false", true},
    {"gateway", "status_interval", KeyType::whole, "10", true},
    {"broker", "host", KeyType::text, "", false},
    {"broker", "port", KeyType::whole, "1883", false},
    {"broker", "client_id", KeyType::text, "krandolix-<id>", false},
    {"broker", "keepalive", KeyType::whole, "30", false},
    {"broker", "session_expiry", KeyType::whole, "60", false},
    {"broker", "username", KeyType::text, "", false},
    {"broker", "password_file", KeyType::text, "", false},
    {"broker", "ca_file", KeyType::text, "", false},
    {"broker", "cert_file", KeyType::text, "", false},
    {"broker", "key_file", KeyType::text, "", false},
    {"port", "device", KeyType::text, "", true},
    {"port", "rs485", KeyType::boolean, "false", true},
    {"port", "rts_on_send", KeyType::boolean, "true", true},
    {"port", "rts_after_send", KeyType::boolean, "false", true},
    {"port", "delay_before_send_ms", KeyType::whole, "0", true},
    {"port", "delay_after_send_ms", KeyType::whole, "0", true},
    {"modbus", "listen", KeyType::text, "127.0.0.1", false},
    {"modbus", "port", KeyType::whole, "1502", false},
    {"modbus", "max_clients", KeyType::whole, "8", false},
    {"modbus", "idle_timeout", KeyType::whole, "60", false},
    {"modbus", "read_only", KeyType::boolean, "[gateway] read_only", true},
    {"opcua", "listen", KeyType::text, "127.0.0.1", false},
    {"opcua", "port", KeyType::whole, "4840", false},
    {"opcua", "security", KeyType::names, "[\"None\", \"Basic256Sha256:SignAndEncrypt\"] on loopback, else [\"Basic256Sha256:SignAndEncrypt\"]", false},
    {"opcua", "cert_file", KeyType::text, "", true},
    {"opcua", "key_file", KeyType::text, "", true},
    {"opcua", "trust_dir", KeyType::text, "/var/lib/krandolix/<id>-opcua", false},
    {"opcua", "anonymous", KeyType::text, "", false},
    {"opcua", "allow_insecure", KeyType::boolean, "false", false},
    {"opcua", "read_only", KeyType::boolean, "[gateway] read_only", true},
    {"opcua", "max_sessions", KeyType::whole, "32", false},
    {"opcua", "max_subscriptions", KeyType::whole, "8", false},
    {"opcua", "max_monitored_items", KeyType::whole, "1000", false},
    {"opcua", "max_message_size", KeyType::whole, "1048576", false},
    {"sparkplug", "group_id", KeyType::text, "", false},
    {"sparkplug", "edge_node_id", KeyType::text, "<id>", false},
    {"sparkplug", "primary_host_id", KeyType::text, "", false},
    {"sparkplug", "host", KeyType::text, "[broker] host", false},
    {"sparkplug", "port", KeyType::whole, "[broker] port", false},
    {"sparkplug", "client_id", KeyType::text, "krandolix-<id>-sparkplug", false},
    {"sparkplug", "username", KeyType::text, "[broker] username", false},
    {"sparkplug", "password_file", KeyType::text, "[broker] password_file", false},
    {"sparkplug", "state_dir", KeyType::text, "/var/lib/krandolix/<id>-sparkplug", false},
    {"sparkplug", "buffer", KeyType::whole, "10000", false},
    {"sparkplug", "read_only", KeyType::boolean, "[gateway] read_only", true},
    {"web", "listen", KeyType::text, "127.0.0.1", false},
    {"web", "port", KeyType::whole, "8080", false},
    {"web", "user", KeyType::text, "", false},
    {"web", "password_file", KeyType::text, "", false},
    {"web", "users_file", KeyType::text, "", false},
    {"web", "read_only", KeyType::boolean, "[gateway] read_only", true},
    {"web", "server_names", KeyType::names, "[]", false},
    {"web", "cert_file", KeyType::text, "", false},
    {"web", "key_file", KeyType::text, "", false},
    {"web", "allow_plain_http", KeyType::boolean, "false", false},
    {"web", "metrics", KeyType::boolean, "true", false},
    {"web", "metrics_token_file", KeyType::text, "", false},
    {"web", "session_idle_minutes", KeyType::whole, "30", false},
    {"metrics", "listen", KeyType::text, "127.0.0.1", false},
    {"metrics", "port", KeyType::whole, "9108", false},
    {"metrics", "token_file", KeyType::text, "", false},
    {"history", "path", KeyType::text, "/var/lib/krandolix/<id>.db", false},
    {"history", "days", KeyType::whole, "90", false},
    {"history", "max_rows", KeyType::whole, "1000000", false},
    {"history", "values", KeyType::boolean, "false", false},
    {"channel", "name", KeyType::text, "", true},
    {"channel", "config", KeyType::text, "", true},
    {"channel", "tags", KeyType::text, "", true},
    {"channel", "unit_id", KeyType::whole, "its position, from 1", true},
};

// The key of a table, null for one it does not have.
inline const ConfigKey* FindKey(const char* table, const char* key) {
    for (const ConfigKey& k : kConfigKeys)
        if (std::strcmp(k.table, table) == 0 && std::strcmp(k.key, key) == 0) return &k;
    return nullptr;
}

}  // namespace gwconfig
