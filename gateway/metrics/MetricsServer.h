// /metrics on a listener of its own ([metrics]): the text the gateway's loop
// last made, to GET /metrics alone, with the scraper's bearer token where
// one is set. One thread (libmicrohttpd's), bounded connections.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "gateway/config/GatewayConfig.h"
#include "gateway/http/LoginThrottle.h"

struct MHD_Connection;
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
    // The figures to serve from now on, and the connections looked at (see
    // EndConnectionsGone). Gateway thread.
    void Set(std::string text);
    // What the server answers a request (for its callback).
    std::string Text();
    const std::string& Token() const { return m_token; }
    LoginThrottle& Throttle() { return m_throttle; }

    // The connections as libmicrohttpd tells of them (for its callbacks).
    struct Connection {
        int fd = -1;
        bool inRequest = false;
        bool ended = false;  // shut down by EndConnectionsGone
        std::chrono::steady_clock::time_point since;  // opened, or its last answer
    };
    void Opened(MHD_Connection* connection, int fd);
    void Closed(MHD_Connection* connection);
    void Asked(MHD_Connection* connection);
    void Answered(MHD_Connection* connection);

private:
    void EndConnectionsGone();

    GatewayMetricsConfig m_config;
    std::string m_token;
    MHD_Daemon* m_daemon = nullptr;
    std::mutex m_lock;  // m_text
    std::string m_text;
    LoginThrottle m_throttle;  // wrong tokens
    std::mutex m_connectionsLock;
    std::map<MHD_Connection*, Connection> m_connections;
};
