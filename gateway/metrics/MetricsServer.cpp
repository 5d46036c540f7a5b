#include "gateway/metrics/MetricsServer.h"

#include <microhttpd.h>
#include <poll.h>
#include <sys/socket.h>

#include "gateway/http/Http.h"


namespace {

// how long a connection may wait for its request (or its next one) before it
// is ended; a scrape is answered at once
constexpr auto kIdleBound = std::chrono::seconds(15);

MHD_Result Access(void* self, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void** context) {
    auto* server = static_cast<MetricsServer*>(self);
    if (!*context) {  // (the first call of a request)
        *context = server;
        server->Asked(connection);
    }
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

void Completed(void* self, MHD_Connection* connection, void** context,
               MHD_RequestTerminationCode) {
    static_cast<MetricsServer*>(self)->Answered(connection);
    *context = nullptr;
}

void Notify(void* self, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode what) {
    auto* server = static_cast<MetricsServer*>(self);
    if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
        server->Closed(connection);
        return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    server->Opened(connection, info ? info->connect_fd : -1);
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
    // poll(), level-triggered, rather than epoll's edges: every connection is
    // looked at and timed at every turn (a few scrapers, 64 at most)
    unsigned flags = MHD_USE_POLL_INTERNAL_THREAD;
    if (ListenAddress(m_config.listen, m_config.port, &address, &length)) {
        if (address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
        m_daemon = MHD_start_daemon(
            flags, static_cast<uint16_t>(m_config.port), nullptr, nullptr, &Access, this,
            MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
            MHD_OPTION_CONNECTION_LIMIT, 64u, MHD_OPTION_PER_IP_CONNECTION_LIMIT, 16u,
            MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
            static_cast<size_t>(32 * 1024), MHD_OPTION_NOTIFY_COMPLETED, &Completed, this,
            MHD_OPTION_NOTIFY_CONNECTION, &Notify, this, MHD_OPTION_END);
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
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_text = std::move(text);
    }
    EndConnectionsGone();
}

void MetricsServer::Opened(MHD_Connection* connection, int fd) {
    std::lock_guard<std::mutex> hold(m_connectionsLock);
    Connection& c = m_connections[connection];
    c.fd = fd;
    c.since = std::chrono::steady_clock::now();
}

void MetricsServer::Closed(MHD_Connection* connection) {
    std::lock_guard<std::mutex> hold(m_connectionsLock);
    m_connections.erase(connection);
}

void MetricsServer::Asked(MHD_Connection* connection) {
    std::lock_guard<std::mutex> hold(m_connectionsLock);
    auto it = m_connections.find(connection);
    if (it != m_connections.end()) it->second.inRequest = true;
}

void MetricsServer::Answered(MHD_Connection* connection) {
    std::lock_guard<std::mutex> hold(m_connectionsLock);
    auto it = m_connections.find(connection);
    if (it == m_connections.end()) return;
    it->second.inRequest = false;
    it->second.since = std::chrono::steady_clock::now();
}

// libmicrohttpd 0.9 misses the end of some connections whose client closed
// as it came or went (seen with clients that connect and close at once, and
// once for good: a connection held past its time-out): each holds one of a
// scraper's 16 and a descriptor. Such connections, and any that waited past
// kIdleBound, are shut down (not closed): the server's thread sees them end
// and closes them itself.
void MetricsServer::EndConnectionsGone() {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> hold(m_connectionsLock);
    for (auto& [connection, c] : m_connections) {
        if (c.ended || c.fd < 0) continue;
        pollfd p{c.fd, POLLRDHUP, 0};
        const bool gone = !c.inRequest && ::poll(&p, 1, 0) > 0 &&
                          (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
        if (gone || now - c.since > kIdleBound) {
            c.ended = true;
            ::shutdown(c.fd, SHUT_RDWR);
        }
    }
}

std::string MetricsServer::Text() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_text;
}
