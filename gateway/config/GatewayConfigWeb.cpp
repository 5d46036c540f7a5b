// The gateway's TOML file: [web], the page and its API, and [metrics], the
// Prometheus listener of its own.
#include "gateway/config/ConfigTable.h"
#include "gateway/config/WebUsersFile.h"

namespace gwconfig {

void ReadWeb(const Table& web, const std::string& base, GatewayConfig* c) {
    web.Only();
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
    w.metrics = web.Boolean("metrics", w.metrics);
    w.sessionIdleMinutes = web.Integer("session_idle_minutes", w.sessionIdleMinutes, 1, 24 * 60);
    w.metricsTokenFile = Absolute(base, web.String("metrics_token_file"));
    if (!w.metricsTokenFile.empty()) {
        std::string token, error;
        if (!ReadSecretFile(w.metricsTokenFile, &token, &error))
            web.Refuse("metrics_token_file", error);
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

void ReadMetrics(const Table& metrics, const std::string& base, GatewayConfig* c) {
    metrics.Only();
    GatewayMetricsConfig& m = c->metrics;
    m.enabled = true;
    m.listen = metrics.String("listen", m.listen);
    if (m.listen.empty()) metrics.Refuse("listen", "is empty");
    m.port = metrics.Integer("port", m.port, 1, 65535);
    m.tokenFile = Absolute(base, metrics.String("token_file"));
    if (!m.tokenFile.empty()) {
        std::string token, error;
        if (!ReadSecretFile(m.tokenFile, &token, &error)) metrics.Refuse("token_file", error);
    }
    if (!IsLoopbackAddress(m.listen) && m.tokenFile.empty())
        metrics.Refuse("listen",
                       "is not a loopback address: token_file is required (the "
                       "scraper sends it as a bearer token)");
    if (c->web.enabled && m.port == c->web.port) metrics.Refuse("port", "is the web page's port");
}

}  // namespace gwconfig
