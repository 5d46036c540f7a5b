#include "gateway/web/WebServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "gateway/core/Journal.h"
#include "gateway/http/Http.h"
#include "gateway/web/WebExchange.h"
#include "gateway/web/WebSessions.h"
#include "gateway/web/WebTls.h"
#include "platform/Tick.h"
#include "web_assets.h"

using nlohmann::json;

namespace {

// Event streams held at once.
const size_t kMaxStreams = 32;
// Exchanges waiting for the worker (hash checks, history queries) at most.
const size_t kMostDeferred = 64;
// Connections at once, and from one address; idle connections are closed
// after kIdleSeconds (a stream says something more often). libmicrohttpd
// takes up to kMaxAccepted, so that no client waits behind others in the
// kernel's queue; above kMaxConnections a new one makes room by ending one
// that waits for a request, taken from the address that holds the most.
const unsigned kMaxConnections = 512;
const unsigned kMaxAccepted = 1024;
const unsigned kMaxPerAddress = 64;
const unsigned kIdleSeconds = 30;
// A request's head must be in within this of the connection's start or of its
// last request's end, however slowly it trickles (the idle time-out counts
// from the last byte): a connection that does not is ended.
const auto kHeadSeconds = std::chrono::seconds(15);
// A new connection's first request head (its TLS handshake too) sooner.
const auto kFirstHeadSeconds = std::chrono::seconds(5);
// A request body, however it is sent.
const size_t kMaxBody = 64 * 1024;

}  // namespace

// libmicrohttpd's calls, into the server.
struct WebCalls {
    // 429 for an address the throttle slows: what it got wrong, and when to come again.
    static MHD_Result TooMany(MHD_Connection* connection, const char* what, int retryAfter) {
        const std::string wait = std::to_string(retryAfter);
        return QueueJson(connection,
                         WebServer::Reply(429, "error",
                                          std::string("too many ") + what +
                                              " from this address: try again in " + wait + " s"),
                         {{"Retry-After", wait.c_str()}});
    }

    // The head is in: what can be refused without the body is refused now
    // (a name not this server's, a body of no stated length or too long, no
    // login, an address that must wait).
    // The page itself, which a browser opens: one not logged in is sent to
    // the login page rather than shown a basic-authentication prompt.
    static bool IsPage(const std::string& url) { return url == "/" || url == "/index.html"; }

    // What anyone may ask: the login page and what it shows, the form's
    // login, the log out.
    static bool IsOpen(const std::string& url, const std::string& method) {
        if (method == "POST") return url == "/login" || url == "/logout";
        return (method == "GET" || method == "HEAD") &&
               (url == "/login" || url == "/style.css" || url == "/favicon.ico");
    }

    static MHD_Result Head(WebServer* server, MHD_Connection* connection,
                           const std::shared_ptr<WebExchange>& held, const std::string& url,
                           const std::string& method) {
        WebExchange& exchange = *held;
        const char* length =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        if (!server->OwnHost(Header(connection, "Host")))
            return QueueJson(
                connection,
                WebServer::Reply(421, "error", "this server is not reached by that name"));
        // a body is sent whole, with its length: a chunked one could be any size
        if (!Header(connection, "Transfer-Encoding").empty())
            return QueueJson(
                connection,
                WebServer::Reply(411, "error", "a body is sent with its Content-Length"),
                {{"Connection", "close"}});
        if (length && std::strtoull(length, nullptr, 10) > kMaxBody)
            return QueueJson(connection, WebServer::Reply(413, "error", "the body is too large"),
                             {{"Connection", "close"}});
        exchange.expected = length ? std::strtoull(length, nullptr, 10) : 0;
        if (IsOpen(url, method)) return MHD_YES;
        // a scraper's bearer token opens /metrics alone
        const std::string authorization = Header(connection, "Authorization");
        // a browser's session (no Authorization: a script's basic login wins)
        const std::string session = CookieValue(Header(connection, "Cookie"), WebSessions::kCookie);
        if (authorization.empty() && !session.empty() && server->m_login.Asks()) {
            if (server->m_sessions.Use(session, std::chrono::steady_clock::now(), &exchange.user,
                                       &exchange.role)) {
                exchange.session = session;
                return MHD_YES;
            }
            // ended (idle, logged out, its user removed): log in again; no
            // prompt, the page goes to its login page
            const std::string ended = SessionCookie("", server->m_config.Tls());
            if (IsPage(url))
                return Queue(connection, 303, "", "text/plain",
                             {{"Location", "/login"}, {"Set-Cookie", ended.c_str()}});
            return QueueJson(connection,
                             {401, JsonText({{"error", "the session has ended: log in again"},
                                             {"login", "/login"}})},
                             {{"Set-Cookie", ended.c_str()}});
        }
        if (url == "/metrics" && authorization.compare(0, 7, "Bearer ") == 0) {
            // guesses are slowed as wrong passwords are
            LoginThrottle& throttle = server->m_login.Throttle();
            const std::string address = ClientAddress(connection);
            const auto now = std::chrono::steady_clock::now();
            int after = 0;
            if (throttle.Slowed(address, now, &after))
                return TooMany(connection, "wrong tokens", after);
            if (BearerMatches(authorization, server->m_metricsToken)) {
                throttle.Passed(address);
                return MHD_YES;
            }
            throttle.Failed(address, now);
            return QueueJson(connection, WebServer::Reply(401, "error", "not the metrics token"));
        }
        const WebLogin::Result login = server->m_login.Peek(
            authorization, ClientAddress(connection), std::chrono::steady_clock::now());
        if (login.outcome == WebLogin::Outcome::unchecked) {
            // a hash check takes a tenth of a second: on the worker, so that a
            // storm of wrong passwords holds up no other client
            const std::string address = ClientAddress(connection);
            std::shared_ptr<WebExchange> mine = held;
            const bool deferred = server->Defer(
                connection, held, [server, mine, authorization, address](bool stopping) {
                    const WebLogin::Result r =
                        stopping ? WebLogin::Result{}
                                 : server->m_login.Check(authorization, address,
                                                         std::chrono::steady_clock::now());
                    std::lock_guard<std::mutex> hold(server->m_lock);
                    WebExchange& e = *mine;
                    if (stopping) {
                        e.answer = WebServer::Reply(503, "error", "the gateway is stopping");
                        e.answered = true;
                    } else if (r.outcome == WebLogin::Outcome::ok) {
                        e.user = r.user;
                        e.role = r.role;
                    } else {
                        e.answer = WebServer::Reply(401, "error", "authentication required");
                        e.headers = {
                            {"WWW-Authenticate", "Basic realm=\"drvgw\", charset=\"UTF-8\""}};
                        e.answered = true;
                    }
                    server->Resume(e);
                });
            if (!deferred)
                return QueueJson(
                    connection,
                    WebServer::Reply(503, "error", "too many logins waiting: try again"),
                    {{"Retry-After", "1"}});
            return MHD_YES;
        }
        if (login.outcome == WebLogin::Outcome::slowed)
            return TooMany(connection, "failed logins", login.retryAfter);
        // the page without a login: the browser's prompt (a kiosk's address
        // with the password in it answers that), and behind it, for a
        // browser that shows none or a user who cancels it, the login form
        if (login.outcome == WebLogin::Outcome::missing && IsPage(url)) {
            WebExchange page;
            WebServer::AnswerLoginPage(page, 401, "");
            page.headers.emplace_back("WWW-Authenticate",
                                      "Basic realm=\"drvgw\", charset=\"UTF-8\"");
            return QueueAnswer(connection, page);
        }
        if (login.outcome != WebLogin::Outcome::ok)
            return QueueJson(connection, WebServer::Reply(401, "error", "authentication required"),
                             {{"WWW-Authenticate", "Basic realm=\"drvgw\", charset=\"UTF-8\""}});
        exchange.user = login.user;
        exchange.role = login.role;
        return MHD_YES;
    }

    static MHD_Result Access(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* upload,
                             size_t* uploadSize, void** context) {
        auto* server = static_cast<WebServer*>(self);
        auto* held = static_cast<std::shared_ptr<WebExchange>*>(*context);
        if (!held) {
            held = new std::shared_ptr<WebExchange>(std::make_shared<WebExchange>());
            (*held)->connection = connection;
            *context = held;
            {
                std::lock_guard<std::mutex> hold(server->m_lock);
                server->m_connections[connection].inRequest = true;
            }
            return Head(server, connection, *held, url, method);
        }
        WebExchange& exchange = **held;
        if (*uploadSize) {
            if (exchange.body.size() + *uploadSize > kMaxBody) exchange.tooLarge = true;
            if (!exchange.tooLarge) exchange.body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        {
            std::lock_guard<std::mutex> hold(server->m_lock);
            if (exchange.answered) return QueueAnswer(connection, exchange);
        }
        // (taken up again after a deferred login, before the body has come:
        // this call is not the last)
        if (exchange.body.size() < exchange.expected && !exchange.tooLarge) return MHD_YES;
        if (exchange.tooLarge)
            return QueueJson(connection, WebServer::Reply(413, "error", "the body is too large"),
                             {{"Connection", "close"}});
        return static_cast<MHD_Result>(server->Serve(connection, *held, url, method));
    }

    static void Notify(void* self, MHD_Connection* connection, void**,
                       MHD_ConnectionNotificationCode what) {
        auto* server = static_cast<WebServer*>(self);
        std::lock_guard<std::mutex> hold(server->m_lock);
        if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
            server->m_connections.erase(connection);
            return;
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        WebServer::Connection& c = server->m_connections[connection];
        c.fd = info ? info->connect_fd : -1;
        c.awaiting = std::chrono::steady_clock::now();
        c.address = ClientAddress(connection);
        server->MakeRoom();
    }

    static void Completed(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
        auto* server = static_cast<WebServer*>(self);
        auto* held = static_cast<std::shared_ptr<WebExchange>*>(*context);
        std::lock_guard<std::mutex> hold(server->m_lock);
        auto c = server->m_connections.find(connection);
        if (c != server->m_connections.end()) {
            c->second.inRequest = false;
            c->second.served = true;
            c->second.awaiting = std::chrono::steady_clock::now();
        }
        if (!held) return;
        (*held)->connection = nullptr;  // a late answer has nobody to wake
        delete held;
        *context = nullptr;
    }

    struct StreamRef {
        WebServer* server;
        std::shared_ptr<WebServer::Stream> stream;
    };

    static ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t max) {
        auto* ref = static_cast<StreamRef*>(cls);
        WebServer::Stream& s = *ref->stream;
        std::lock_guard<std::mutex> hold(ref->server->m_lock);
        if (ref->server->m_stopping || s.dropped) return MHD_CONTENT_READER_END_OF_STREAM;
        if (s.queue.empty()) {
            // nothing to send: set aside until Publish has something
            s.suspended = true;
            MHD_suspend_connection(s.connection);
            return 0;
        }
        const size_t n = std::min(max, s.queue.size());
        std::memcpy(buffer, s.queue.data(), n);
        s.queue.erase(0, n);
        return static_cast<ssize_t>(n);
    }

    static void EndStream(void* cls) {
        auto* ref = static_cast<StreamRef*>(cls);
        {
            std::lock_guard<std::mutex> hold(ref->server->m_lock);
            auto& streams = ref->server->m_streams;
            streams.erase(std::remove(streams.begin(), streams.end(), ref->stream), streams.end());
        }
        delete ref;
    }
};

WebServer::WebServer(const GatewayWebConfig& config, std::string gatewayId,
                     std::function<void()> wake)
    : m_config(config),
      m_gatewayId(std::move(gatewayId)),
      m_wake(std::move(wake)),
      m_sessions(std::chrono::minutes(config.sessionIdleMinutes)) {}

WebServer::~WebServer() {
    Stop();
}

std::pair<int, std::string> WebServer::Reply(int status, const std::string& key,
                                             const std::string& text) {
    return {status, JsonText(json{{key, text}})};
}

bool WebServer::Start(std::string* error) {
    if (!ReloadUsers(error) ||
        (!m_config.metricsTokenFile.empty() &&
         !ReadSecretFile(m_config.metricsTokenFile, &m_metricsToken, error))) {
        *error = "web: " + *error;
        return false;
    }
    const std::string where = m_config.listen + ":" + std::to_string(m_config.port);
    sockaddr_storage address{};
    unsigned length = 0;
    if (!ListenAddress(m_config.listen, m_config.port, &address, &length)) {
        *error = "web: cannot listen on " + where;
        return false;
    }
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    // HTTPS: TLS 1.2 or newer, the certificate handed to each handshake (so
    // that a renewed one is taken without a restart)
    MHD_OptionItem tls[] = {
        {MHD_OPTION_END, 0, nullptr}, {MHD_OPTION_END, 0, nullptr}, {MHD_OPTION_END, 0, nullptr}};
    if (m_config.Tls()) {
        if (!LoadWebCertificate(m_config.certFile, m_config.keyFile, error)) {
            *error = "web: " + *error;
            return false;
        }
        flags |= MHD_USE_TLS;
        tls[0] = {MHD_OPTION_HTTPS_CERT_CALLBACK, 0, kWebCertificateCallback};
        tls[1] = {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kWebTlsPriorities)};
    }
    m_daemon = MHD_start_daemon(
        flags, static_cast<uint16_t>(m_config.port), nullptr, nullptr, &WebCalls::Access, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT,
        kMaxAccepted, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(64 * 1024), MHD_OPTION_NOTIFY_COMPLETED, &WebCalls::Completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &WebCalls::Notify, this, MHD_OPTION_ARRAY, tls,
        MHD_OPTION_END);
    if (!m_daemon) {
        *error = "web: cannot listen on " + where;
        return false;
    }
    m_port = m_config.port;
    m_worker = std::thread([this] { Work(); });
    return true;
}

bool WebServer::Defer(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                      std::function<void(bool)> work) {
    {
        std::lock_guard<std::mutex> hold(m_workLock);
        if (m_workStop || m_work.size() >= kMostDeferred) return false;
    }
    {
        // set aside before the work can end (its end takes the connection up again)
        std::lock_guard<std::mutex> hold(m_lock);
        exchange->suspended = true;
        MHD_suspend_connection(connection);
    }
    {
        std::lock_guard<std::mutex> hold(m_workLock);
        m_work.push_back(std::move(work));
    }
    m_workWake.notify_one();
    return true;
}

void WebServer::Work() {
    std::unique_lock<std::mutex> hold(m_workLock);
    for (;;) {
        m_workWake.wait(hold, [this] { return m_workStop || !m_work.empty(); });
        if (m_work.empty()) return;  // (stopping, nothing left)
        std::function<void(bool)> work = std::move(m_work.front());
        m_work.pop_front();
        const bool stopping = m_workStop;
        hold.unlock();
        work(stopping);
        hold.lock();
    }
}

// (with m_lock held)
void WebServer::Resume(WebExchange& exchange) {
    if (exchange.suspended && exchange.connection) {
        exchange.suspended = false;
        MHD_resume_connection(exchange.connection);
    }
}

void WebServer::Stop() {
    if (!m_daemon) return;
    // what waits for the worker is answered at once, and it ends
    {
        std::lock_guard<std::mutex> hold(m_workLock);
        m_workStop = true;
    }
    m_workWake.notify_all();
    if (m_worker.joinable()) m_worker.join();
    {
        // everything set aside is woken to end: a daemon may not stop with
        // connections suspended
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
        const auto stopping = Reply(503, "error", "the gateway is stopping");
        for (auto& [ticket, request] : m_awaiting) Finish(*request->exchange, stopping);
        m_awaiting.clear();
        for (auto& request : m_requests) Finish(*request->exchange, stopping);
        m_requests.clear();
        for (auto& stream : m_streams) Wake(*stream);
    }
    // the resumed connections are served their ends before the daemon goes
    const int listening = MHD_quiesce_daemon(m_daemon);
    if (listening >= 0) ::close(listening);
    for (int i = 0; i < 50; ++i) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_streams.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    MHD_stop_daemon(m_daemon);
    if (m_config.Tls()) ForgetWebCertificates();
    m_daemon = nullptr;
}

int WebServer::Serve(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                     const std::string& url, const std::string& method) {
    const int login = ServeLogin(connection, exchange, url, method);
    if (login >= 0) return login;
    if (method == "GET" || method == "HEAD") {
        const std::string path = url == "/" ? "/index.html" : url;
        for (const WebAsset& a : kWebAssets) {
            if (!a.path) break;
            if (path != a.path) continue;
            // nothing the page needs comes from elsewhere, and nothing may
            return Queue(connection, 200, std::string(a.data, a.size), a.type,
                         {{"Content-Security-Policy",
                           "default-src 'self'; connect-src 'self'; img-src 'self' data:"},
                          {"X-Content-Type-Options", "nosniff"},
                          {"Cache-Control", "no-cache"}});
        }
        // (the page names no icon; a browser that asks anyway gets nothing, not a 404)
        if (url == "/favicon.ico") return Queue(connection, 204, "", "image/x-icon");
        if (url == "/api/state")
            return QueueJson(connection, {200, StateJson()}, {{"Cache-Control", "no-store"}});
        if (url == "/api/names") return QueueJson(connection, {200, NamesJson()});
        if (url == "/api/me")
            return QueueJson(
                connection,
                {200, JsonText({{"user", exchange->user.empty() ? nlohmann::json()
                                                                : nlohmann::json(exchange->user)},
                                {"role", WebRoleName(exchange->role)},
                                {"session", !exchange->session.empty()}})},
                {{"Cache-Control", "no-store"}});
        if (url == "/api/events") return OpenStream(connection, *exchange);
        if (url == "/api/history" || url == "/api/history.csv")
            return ServeHistory(connection, exchange, url);
        if (url == "/metrics" && m_config.metrics) {
            std::lock_guard<std::mutex> hold(m_lock);
            return Queue(connection, 200, m_metrics, kMetricsType, {{"Cache-Control", "no-store"}});
        }
    }
    const int admin = ServeAdmin(connection, exchange, url, method);
    if (admin >= 0) return admin;
    if (method == "GET" || method == "HEAD")
        return QueueJson(connection, Reply(404, "error", "no such page"));
    if (method != "POST" || (url != "/api/write" && url != "/api/station"))
        return QueueJson(connection, Reply(404, "error", "no such page"));
    if (!FromOwnPage(Header(connection, "Sec-Fetch-Site"), Header(connection, "Origin"),
                     Header(connection, "Host")))
        return QueueJson(connection, Reply(403, "error", "not from this page"));
    // writes and station commands: an operator's or an admin's
    if (exchange->role == WebRole::viewer)
        return QueueJson(connection,
                         Reply(403, "error", "the role viewer may look, not write or command"));
    std::unique_ptr<WebRequest> request;
    const std::pair<int, std::string> refusal = url == "/api/write"
                                                    ? WriteRequest(exchange->body, &request)
                                                    : StationRequest(exchange->body, &request);
    if (!request) return QueueJson(connection, refusal);
    return Ask(connection, exchange, std::move(request));
}

int WebServer::Ask(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                   std::unique_ptr<WebRequest> request) {
    request->command.ticket.origin = Origin::web;
    request->command.ticket.who = exchange->user.empty()
                                      ? ClientAddress(connection)
                                      : exchange->user + "@" + ClientAddress(connection);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopping)
            return QueueJson(connection, Reply(503, "error", "the gateway is stopping"));
        // set aside until the gateway answers: no thread waits for it
        request->exchange = exchange;
        m_requests.push_back(std::move(request));
        exchange->suspended = true;
        MHD_suspend_connection(connection);
    }
    m_wake();
    return MHD_YES;
}

int WebServer::OpenStream(MHD_Connection* connection, const WebExchange& exchange) {
    auto stream = std::make_shared<Stream>();
    stream->connection = connection;
    stream->user = exchange.user;
    stream->role = exchange.role;
    stream->session = exchange.session;
    stream->queue = "retry: 2000\n\n";  // the browser comes back 2 s after a break
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_streams.size() >= kMaxStreams)
            return QueueJson(connection, Reply(503, "error", "too many event streams"));
        m_streams.push_back(stream);
    }
    MHD_Response* r = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 4096, &WebCalls::ReadStream, new WebCalls::StreamRef{this, stream},
        &WebCalls::EndStream);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", "text/event-stream");
    MHD_add_response_header(r, "Cache-Control", "no-store");
    const MHD_Result ok = MHD_queue_response(connection, 200, r);
    MHD_destroy_response(r);
    return ok;
}

std::vector<std::unique_ptr<WebRequest>> WebServer::TakeRequests() {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::move(m_requests);
}

// (with m_lock held)
void WebServer::Finish(WebExchange& exchange, const std::pair<int, std::string>& answer) {
    exchange.answer = answer;
    exchange.answered = true;
    if (exchange.suspended && exchange.connection) {
        exchange.suspended = false;
        MHD_resume_connection(exchange.connection);
    }
}

void WebServer::Respond(std::unique_ptr<WebRequest> request,
                        const std::pair<int, std::string>& answer, const std::string& etag) {
    std::lock_guard<std::mutex> hold(m_lock);
    request->exchange->etag = etag;
    Finish(*request->exchange, answer);
}

void WebServer::AwaitOutcome(std::unique_ptr<WebRequest> request, uint64_t ticket) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_stopping) {
        Finish(*request->exchange, Reply(503, "error", "the gateway is stopping"));
        return;
    }
    m_awaiting[ticket] = std::move(request);
}

size_t WebServer::Streams() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_streams.size();
}

// (with m_lock held)
void WebServer::Wake(Stream& stream) {
    if (!stream.suspended) return;
    stream.suspended = false;
    MHD_resume_connection(stream.connection);
}

// (with m_lock held) The socket is shut down, not closed: the server's thread
// sees it end and closes the connection itself.
void WebServer::Reap(std::chrono::steady_clock::time_point now) {
    for (auto& [connection, c] : m_connections) {
        if (c.reaped || c.fd < 0 || c.inRequest) continue;
        // the first request (and the TLS handshake before it) sooner than the next
        const auto bound = c.served ? kHeadSeconds : kFirstHeadSeconds;
        if (now - c.awaiting < bound) continue;
        c.reaped = true;
        ::shutdown(c.fd, SHUT_RDWR);
    }
}

// (with m_lock held) Above kMaxConnections, the connections that wait for a
// request (none being served, no stream) are ended, the longest waiting of
// the address holding the most first: idle connections from a few
// addresses cannot lock out a client that behaves, nor one address many.
void WebServer::MakeRoom() {
    size_t open = 0;
    std::map<std::string, std::vector<Connection*>> waiting;
    for (auto& [connection, c] : m_connections) {
        if (c.reaped || c.fd < 0) continue;
        ++open;
        if (!c.inRequest) waiting[c.address].push_back(&c);
    }
    while (open > kMaxConnections) {
        auto most = waiting.end();
        for (auto it = waiting.begin(); it != waiting.end(); ++it)
            if (!it->second.empty() &&
                (most == waiting.end() || it->second.size() > most->second.size()))
                most = it;
        if (most == waiting.end()) return;  // every one is being served
        auto longest = std::min_element(
            most->second.begin(), most->second.end(),
            [](const Connection* a, const Connection* b) { return a->awaiting < b->awaiting; });
        (*longest)->reaped = true;
        ::shutdown((*longest)->fd, SHUT_RDWR);
        most->second.erase(longest);
        --open;
    }
}
