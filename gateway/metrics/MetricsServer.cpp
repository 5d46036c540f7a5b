#include "gateway/metrics/MetricsServer.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include "gateway/http/Http.h"


namespace {

MHD_Result Access(void* self, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void**) {
    auto* server = static_cast<MetricsServer*>(self);
    if (*uploadSize) {  // a body nobody asked for: not read
        *uploadSize = 0;
        return MHD_YES;
    }
    if (std::string(method) != "GET" && std::string(method) != "HEAD")
        return Queue(connection, 405, "GET only\n", "text/plain", {{"Allow", "GET"}});
    if (std::string(url) != "/metrics")
        return Queue(connection, 404, "only /metrics here\n", "text/plain");
    if (!server->Token().empty()) {
        // guesses are slowed as the page slows wrong passwords
        const std::string address = ClientAddress(connection);
        const auto now = std::chrono::steady_clock::now();
        int after = 0;
        if (server->Throttle().Slowed(address, now, &after)) {
            const std::string wait = std::to_string(after);
            return Queue(connection, 429, "too many wrong tokens: try again in " + wait + " s\n",
                         "text/plain", {{"Retry-After", wait.c_str()}});
        }
        const std::string authorization = Header(connection, "Authorization");
        if (!BearerMatches(authorization, server->Token())) {
            if (!authorization.empty()) server->Throttle().Failed(address, now);
            return Queue(connection, 401, "a bearer token is required\n", "text/plain",
                         {{"WWW-Authenticate", "Bearer realm=\"drvgw metrics\""}});
        }
        server->Throttle().Passed(address);
    }
    return Queue(connection, 200, server->Text(), kMetricsType, {{"Cache-Control", "no-store"}});
}

}  // namespace


bool MetricsServer::Start(std::string* error) {
    if (!m_config.tokenFile.empty() && !ReadSecretFile(m_config.tokenFile, &m_token, error)) {
        *error = "metrics: " + *error;
        return false;
    }
    sockaddr_storage address{};
    unsigned length = 0;
    const std::string where = m_config.listen + ":" + std::to_string(m_config.port);
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
    if (ListenAddress(m_config.listen, m_config.port, &address, &length)) {
        if (address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
        m_daemon = MHD_start_daemon(
            flags, static_cast<uint16_t>(m_config.port), nullptr, nullptr, &Access, this,
            MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
            MHD_OPTION_CONNECTION_LIMIT, 64u, MHD_OPTION_PER_IP_CONNECTION_LIMIT, 16u,
            MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
            static_cast<size_t>(32 * 1024), MHD_OPTION_END);
    }
    if (!m_daemon) {
        *error = "metrics: cannot listen on " + where;
        return false;
    }
    return true;
}

void MetricsServer::Stop() {
    if (m_daemon) MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

void MetricsServer::Set(std::string text) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_text = std::move(text);
}

std::string MetricsServer::Text() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_text;
}
