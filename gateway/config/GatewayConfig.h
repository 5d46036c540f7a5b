// The gateway's configuration file (TOML): the gateway itself, its broker,
// where each COM port leads on this machine, and its channels, each a driver
// configuration file with the tags to publish. Read once at start and again
// at every reload; a file that does not hold exactly what is documented is
// refused with the file, the line and the key.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "channel/Rs485.h"
#include "gateway/core/Files.h"

struct GatewayChannelConfig {
    std::string name;        // UTF-8, a topic level
    std::string configPath;  // the driver's configuration file, absolute
    std::string tagsPath;    // drvhost's tag list, absolute; "" for every bit of every station
    // where each file is named: "FILE:LINE: channel[N].config" (for messages)
    std::string configWhere, tagsWhere;
    int unitId = 0;  // its Modbus unit id (default: its position, from 1)
};

// [ports]: where a COM number leads, and the UART's RS-485 mode there.
struct GatewayPortConfig {
    std::string device;
    Rs485Settings rs485;
    bool operator==(const GatewayPortConfig& o) const {
        return device == o.device && rs485 == o.rs485;
    }
    bool operator!=(const GatewayPortConfig& o) const { return !(*this == o); }
};

// [modbus]: the Modbus TCP server, when the table is there.
struct GatewayModbusConfig {
    bool enabled = false;
    std::string listen = "127.0.0.1";
    int port = 1502;
    int maxClients = 8;
    int idleTimeout = 60;  // seconds
    bool readOnly = false;
};

// [opcua]: the OPC UA server, when the table is there.
struct GatewayOpcuaConfig {
    bool enabled = false;
    std::string listen = "127.0.0.1";
    int port = 4840;
    // "None", "Basic256Sha256:Sign", "Basic256Sha256:SignAndEncrypt",
    // "Aes128_Sha256_RsaOaep:Sign", "Aes128_Sha256_RsaOaep:SignAndEncrypt"
    std::vector<std::string> security;
    std::string certFile, keyFile;  // absolute, PEM or DER; both or neither
    // its certificate and key when none is given (own/), the client
    // certificates it trusts (trusted/) and those it refused (rejected/)
    std::string trustDir;
    std::string anonymous;       // "" (no anonymous sign-in), "viewer" or "operator"
    bool allowInsecure = false;  // None or anonymous beyond loopback, said on purpose
    bool readOnly = false;
    int maxSessions = 32;
    int maxSubscriptions = 8;           // a session's
    int maxMonitoredItems = 1000;       // a subscription's
    int maxMessageSize = 1 << 20;       // bytes, either way
    bool HasPolicy(const std::string& name) const;
};

// [sparkplug]: the gateway as a Sparkplug B edge node, when the table is there.
struct GatewaySparkplugConfig {
    bool enabled = false;
    std::string groupId;        // required
    std::string edgeNodeId;     // the gateway's id by default
    std::string primaryHostId;  // "" for none: birth at once
    // its own connection, to [broker]'s broker unless these say otherwise
    std::string host;
    int port = 0;
    std::string clientId;  // krandolix-<id>-sparkplug
    std::string username, passwordFile;
    // bdSeq and the events kept while no host can hear them
    std::string stateDir;
    int buffer = 10000;  // events kept at most (the oldest dropped beyond)
    bool readOnly = false;
};

// [web]: the page and its API, served when the table is there.
struct GatewayWebConfig {
    bool enabled = false;
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string user;          // basic authentication, with the password file
    std::string passwordFile;  // absolute
    std::string usersFile;     // absolute: NAME:ROLE:HASH a line (instead of user)
    // HTTPS (PEM files, absolute): with both, the page is served over TLS only
    std::string certFile, keyFile;
    // a listen address other than loopback without TLS, said on purpose
    bool allowPlainHttp = false;
    bool Tls() const { return !certFile.empty(); }
    bool readOnly = false;
    // the names the page is reached by, besides its listen address, localhost
    // and addresses written as numbers: a request for another (a name that
    // was made to lead here) is refused
    std::vector<std::string> serverNames;
    // GET /metrics for Prometheus, with the page's logins; a scraper may
    // instead send the token of this file (absolute) as a bearer token
    bool metrics = true;
    std::string metricsTokenFile;
    // a login by the page's form ends after this long without a request (an
    // open event stream keeps it)
    int sessionIdleMinutes = 30;
};

// [metrics]: /metrics on a listener of its own (plain HTTP, no page), when
// the table is there.
struct GatewayMetricsConfig {
    bool enabled = false;
    std::string listen = "127.0.0.1";
    int port = 9108;
    std::string tokenFile;  // absolute; required beyond loopback
};

// [history]: the event history (SQLite), when the table is there.
struct HistoryConfig {
    bool enabled = false;
    std::string path;           // absolute
    int days = 90;              // events older are removed
    int64_t maxRows = 1000000;  // and the oldest beyond this many
    bool values = false;        // every value change too
};

struct GatewayConfig {
    std::string path;  // of the TOML file itself

    // [gateway]
    std::string id;
    std::string topicPrefix;
    bool readOnly = false;
    int statusInterval = 10;  // seconds

    // [broker]
    std::string host;
    int port = 1883;
    std::string clientId;
    int keepalive = 30;
    // how long the broker keeps the gateway's session, and so the commands
    // published while it is away (seconds)
    int sessionExpiry = 60;
    std::string username;
    std::string passwordFile;
    std::string caFile, certFile, keyFile;  // any of them turns TLS on

    // [ports]: COM number -> device (and its RS-485 mode)
    std::map<int, GatewayPortConfig> ports;

    GatewayModbusConfig modbus;
    GatewayOpcuaConfig opcua;
    GatewaySparkplugConfig sparkplug;
    GatewayWebConfig web;
    GatewayMetricsConfig metrics;
    HistoryConfig history;  // [history]: when the table is there

    std::vector<GatewayChannelConfig> channels;

    bool Tls() const { return !caFile.empty() || !certFile.empty() || !keyFile.empty(); }

    // The values of the keys a reload cannot apply, as they were read (by
    // "table.key"; "table" for a table that is there): see ConfigKeys.h.
    std::map<std::string, std::string> restartKeys;
};

// Reads and checks a configuration file. On failure returns false with
// *error saying "FILE:LINE: KEY: what is wrong" (or "FILE: ..." where no
// line applies).
bool LoadGatewayConfig(const std::string& path, GatewayConfig* config, std::string* error);

// The tables ("[broker]", ...) in which fresh changes what a reload does not
// apply and only a restart does; empty when a reload applies every change.
std::vector<std::string> TablesNeedingRestart(const GatewayConfig& now, const GatewayConfig& fresh);
