// /metrics on a listener of its own ([metrics]): the text the gateway's loop
// last made, to GET /metrics alone, with the scraper's bearer token where
// one is set. One thread (libmicrohttpd's), bounded connections.
#pragma once

#include <mutex>
#include <string>

#include "gateway/config/GatewayConfig.h"
#include "gateway/http/LoginThrottle.h"

struct MHD_Daemon;

class MetricsServer {
public:
    explicit MetricsServer(const GatewayMetricsConfig& config) : m_config(config) {}
    ~MetricsServer() { Stop(); }
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // false with *error when the token cannot be read or the address had.
    bool Start(std::string* error);
    void Stop();
    // The figures to serve from now on. Gateway thread.
    void Set(std::string text);
    // What the server answers a request (for its callback).
    std::string Text();
    const std::string& Token() const { return m_token; }
    LoginThrottle& Throttle() { return m_throttle; }

private:
    GatewayMetricsConfig m_config;
    std::string m_token;
    MHD_Daemon* m_daemon = nullptr;
    std::mutex m_lock;  // m_text
    std::string m_text;
    LoginThrottle m_throttle;  // wrong tokens
};
