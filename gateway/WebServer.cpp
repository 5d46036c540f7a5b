#include "gateway/WebServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>
#include <nlohmann/json.hpp>

#include "gateway/Journal.h"
#include "platform/Tick.h"
#include "web_assets.h"

using nlohmann::json;

// One HTTP exchange: the body as it comes, and the answer once it is known.
struct WebExchange {
    MHD_Connection* connection = nullptr;  // null once the exchange has ended
    std::string body;
    bool tooLarge = false;
    bool suspended = false;  // waiting for the gateway's answer
    bool answered = false;
    std::pair<int, std::string> answer;
};

namespace {

// Event streams held at once.
const size_t kMaxStreams = 32;
// Connections at once, and from one address; idle connections are closed
// after kIdleSeconds (a stream says something every kKeepAlive).
const unsigned kMaxConnections = 512;
const unsigned kMaxPerAddress = 64;
const unsigned kIdleSeconds = 30;
const auto kKeepAlive = std::chrono::seconds(15);
// A request body, however it is sent.
const size_t kMaxBody = 64 * 1024;
// Event text waiting for one stream; a client that falls further behind is
// closed and reconnects (and reads the whole state again).
const size_t kStreamBacklog = 1 << 20;
const size_t kLogTail = 100;
// How long an event waits before it goes to the streams (see FlushDue).
const auto kFanoutDelay = std::chrono::milliseconds(5);

// JSON text; a byte that is not UTF-8 becomes U+FFFD instead of an exception.
std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Whether two texts are equal, in a time that does not tell how much of them is.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

std::string Base64(const std::string& in) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t n = static_cast<uint8_t>(in[i]) << 16;
        if (i + 1 < in.size()) n |= static_cast<uint8_t>(in[i + 1]) << 8;
        if (i + 2 < in.size()) n |= static_cast<uint8_t>(in[i + 2]);
        out += kDigits[(n >> 18) & 63];
        out += kDigits[(n >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(n >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kDigits[n & 63] : '=';
    }
    return out;
}

std::string Header(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "";
}

// The host part of a Host header: without its port, an IPv6 address without
// its brackets, lower case.
std::string HostPart(const std::string& header) {
    std::string host = header;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        host = close == std::string::npos ? "" : host.substr(1, close - 1);
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string::npos) host.resize(colon);
    }
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

bool IsAddressLiteral(const std::string& host) {
    in6_addr any;
    return ::inet_pton(AF_INET, host.c_str(), &any) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

std::string ClientAddress(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info && info->client_addr) {
        const sockaddr* a = info->client_addr;
        if (a->sa_family == AF_INET)
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
        else if (a->sa_family == AF_INET6)
            ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text,
                        sizeof text);
    }
    return text;
}

MHD_Result Queue(MHD_Connection* c, int status, const std::string& body, const char* type,
                 std::initializer_list<std::pair<const char*, const char*>> headers = {}) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    for (const auto& [name, value] : headers) MHD_add_response_header(r, name, value);
    const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(status), r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result QueueJson(MHD_Connection* c, const std::pair<int, std::string>& reply,
                     std::initializer_list<std::pair<const char*, const char*>> headers = {}) {
    return Queue(c, reply.first, reply.second, "application/json; charset=utf-8", headers);
}

// The body as a JSON object with the given string keys, or a 400 in *refusal.
bool ParseBody(const std::string& text, std::initializer_list<const char*> keys, json* body,
               std::pair<int, std::string>* refusal) {
    *body = json::parse(text, nullptr, false);
    if (body->is_discarded() || !body->is_object()) {
        *refusal = WebServer::Reply(400, "error", "the body is not a JSON object");
        return false;
    }
    for (const char* k : keys) {
        auto it = body->find(k);
        if (it == body->end() || !it->is_string()) {
            *refusal = WebServer::Reply(400, "error", std::string("\"") + k + "\" must be a string");
            return false;
        }
    }
    return true;
}

}  // namespace

// libmicrohttpd's calls, into the server.
struct WebCalls {
    static MHD_Result Access(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* upload,
                             size_t* uploadSize, void** context) {
        auto* server = static_cast<WebServer*>(self);
        auto* held = static_cast<std::shared_ptr<WebExchange>*>(*context);
        if (!held) {
            // the head is in: what can be refused without the body is refused now
            held = new std::shared_ptr<WebExchange>(std::make_shared<WebExchange>());
            (*held)->connection = connection;
            *context = held;
            const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            if (!server->OwnHost(connection))
                return QueueJson(connection, WebServer::Reply(421, "error", "this server is not reached by that name"));
            // a body is sent whole, with its length: a chunked one could be any size
            if (!Header(connection, "Transfer-Encoding").empty())
                return QueueJson(connection, WebServer::Reply(411, "error", "a body is sent with its Content-Length"),
                                 {{"Connection", "close"}});
            if (length && std::strtoull(length, nullptr, 10) > kMaxBody)
                return QueueJson(connection, WebServer::Reply(413, "error", "the body is too large"),
                                 {{"Connection", "close"}});
            if (!server->m_authorization.empty() &&
                !SameSecret(Header(connection, "Authorization"), server->m_authorization))
                return QueueJson(connection, WebServer::Reply(401, "error", "authentication required"),
                                 {{"WWW-Authenticate", "Basic realm=\"drvgw\", charset=\"UTF-8\""}});
            return MHD_YES;
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
            if (exchange.answered) return QueueJson(connection, exchange.answer);
        }
        if (exchange.tooLarge)
            return QueueJson(connection, WebServer::Reply(413, "error", "the body is too large"),
                             {{"Connection", "close"}});
        return static_cast<MHD_Result>(server->Serve(connection, *held, url, method));
    }

    static void Completed(void* self, MHD_Connection*, void** context,
                          MHD_RequestTerminationCode) {
        auto* held = static_cast<std::shared_ptr<WebExchange>*>(*context);
        if (!held) return;
        {
            std::lock_guard<std::mutex> hold(static_cast<WebServer*>(self)->m_lock);
            (*held)->connection = nullptr;  // a late answer has nobody to wake
        }
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
    : m_config(config), m_gatewayId(std::move(gatewayId)), m_wake(std::move(wake)) {}

WebServer::~WebServer() {
    Stop();
}

std::pair<int, std::string> WebServer::Reply(int status, const std::string& key,
                                             const std::string& text) {
    return {status, Dump(json{{key, text}})};
}

bool WebServer::Start(std::string* error) {
    if (!m_config.passwordFile.empty()) {
        std::string password;
        if (!ReadSecretFile(m_config.passwordFile, &password, error)) {
            *error = "web: " + m_config.passwordFile + ": " + *error;
            return false;
        }
        m_authorization = "Basic " + Base64(m_config.user + ":" + password);
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
    m_daemon = MHD_start_daemon(
        flags, static_cast<uint16_t>(m_config.port), nullptr, nullptr, &WebCalls::Access, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
        MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(64 * 1024),
        MHD_OPTION_NOTIFY_COMPLETED, &WebCalls::Completed, this,
        MHD_OPTION_END);
    if (!m_daemon) {
        *error = "web: cannot listen on " + where;
        return false;
    }
    m_port = m_config.port;
    m_nextKeepAlive = std::chrono::steady_clock::now() + kKeepAlive;
    return true;
}

void WebServer::Stop() {
    if (!m_daemon) return;
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
    m_daemon = nullptr;
}

bool WebServer::OwnHost(MHD_Connection* connection) const {
    const std::string host = HostPart(Header(connection, "Host"));
    if (host.empty()) return true;  // HTTP/1.0 without Host: no browser sends that
    // a name leads anywhere its owner likes; an address written as numbers
    // is what a client chose to reach
    if (host == "localhost" || IsAddressLiteral(host)) return true;
    if (host == HostPart(m_config.listen)) return true;
    for (const std::string& name : m_config.serverNames)
        if (host == HostPart(name)) return true;
    return false;
}

// A request that changes something must come from the page itself: a
// browser says where a request comes from (Origin, Sec-Fetch-Site); a
// program that is no browser says nothing and is let through (it has passed
// the authentication and the Host check).
bool WebServer::FromOwnPage(MHD_Connection* connection) const {
    const std::string site = Header(connection, "Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin" && site != "none") return false;
    const std::string origin = Header(connection, "Origin");
    return origin.empty() || origin == "http://" + Header(connection, "Host");
}

int WebServer::Serve(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                     const std::string& url, const std::string& method) {
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
        if (url == "/api/state")
            return QueueJson(connection, {200, StateJson()}, {{"Cache-Control", "no-store"}});
        if (url == "/api/events") return OpenStream(connection);
        return QueueJson(connection, Reply(404, "error", "no such page"));
    }
    if (method != "POST" || (url != "/api/write" && url != "/api/station"))
        return QueueJson(connection, Reply(404, "error", "no such page"));
    if (!FromOwnPage(connection))
        return QueueJson(connection, Reply(403, "error", "not from this page"));
    std::unique_ptr<WebRequest> request;
    const std::pair<int, std::string> refusal =
        url == "/api/write" ? WriteRequest(*exchange, &request) : StationRequest(*exchange, &request);
    if (!request) return QueueJson(connection, refusal);
    request->command.ticket.origin = Origin::web;
    request->command.ticket.who = ClientAddress(connection);
    return Ask(connection, exchange, std::move(request));
}

std::pair<int, std::string> WebServer::WriteRequest(const WebExchange& exchange,
                                                    std::unique_ptr<WebRequest>* request) const {
    json body;
    std::pair<int, std::string> refusal;
    if (!ParseBody(exchange.body, {"channel", "tag"}, &body, &refusal)) return refusal;
    auto value = body.find("value");
    if (value == body.end()) return Reply(400, "error", "\"value\" is required");
    auto wait = body.find("wait");
    if (wait != body.end() && !wait->is_boolean())
        return Reply(400, "error", "\"wait\" must be true or false");
    *request = std::make_unique<WebRequest>();
    (*request)->command.kind = GatewayCommand::write;
    (*request)->command.channel = body["channel"].get<std::string>();
    (*request)->command.target = body["tag"].get<std::string>();
    // the payload rule is the entry's: it gets the value as it was sent
    (*request)->command.payload = value->dump();
    (*request)->wait = wait == body.end() || wait->get<bool>();
    return {};
}

std::pair<int, std::string> WebServer::StationRequest(const WebExchange& exchange,
                                                      std::unique_ptr<WebRequest>* request) const {
    json body;
    std::pair<int, std::string> refusal;
    if (!ParseBody(exchange.body, {"channel", "station", "command"}, &body, &refusal))
        return refusal;
    const std::string command = body["command"].get<std::string>();
    if (command != "enable" && command != "disable" && command != "reset")
        return Reply(400, "error", "\"command\" is enable, disable or reset");
    *request = std::make_unique<WebRequest>();
    (*request)->command.kind = GatewayCommand::station;
    (*request)->command.channel = body["channel"].get<std::string>();
    (*request)->command.target = body["station"].get<std::string>();
    (*request)->command.payload = command;
    return {};
}

int WebServer::Ask(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                   std::unique_ptr<WebRequest> request) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopping) return QueueJson(connection, Reply(503, "error", "the gateway is stopping"));
        // set aside until the gateway answers: no thread waits for it
        request->exchange = exchange;
        m_requests.push_back(std::move(request));
        exchange->suspended = true;
        MHD_suspend_connection(connection);
    }
    m_wake();
    return MHD_YES;
}

int WebServer::OpenStream(MHD_Connection* connection) {
    auto stream = std::make_shared<Stream>();
    stream->connection = connection;
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
                        const std::pair<int, std::string>& answer) {
    std::lock_guard<std::mutex> hold(m_lock);
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

std::pair<int, std::string> WebServer::Answer(const CommandReply& reply) {
    switch (reply.why) {
        case Refusal::readOnly:
            return Reply(403, "error", reply.Reason());
        case Refusal::unknownChannel:
        case Refusal::unknownTarget:
            return Reply(404, "error", reply.Reason());
        default:
            break;
    }
    json j = {{"result", WriteResultName(reply.result)}};
    if (reply.result == WriteResult::refused) j["reason"] = reply.Reason();
    return {200, Dump(j)};
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

// (with m_lock held) Every stream gets the event; the server's one thread
// writes it to each as its socket takes it, once Flush hands it over.
void WebServer::Publish(const std::string& event, const std::string& data) {
    if (m_streams.empty()) return;
    const std::string message = "event: " + event + "\ndata: " + data + "\n\n";
    for (auto& stream : m_streams) {
        if (stream->dropped) continue;
        if (stream->queue.size() + message.size() > kStreamBacklog) {
            stream->dropped = true;
            stream->queue.clear();
        } else {
            stream->queue += message;
        }
    }
    if (m_flushDue == std::chrono::steady_clock::time_point::max())
        m_flushDue = std::chrono::steady_clock::now() + kFanoutDelay;
}

std::chrono::steady_clock::time_point WebServer::FlushDue() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_flushDue;
}

void WebServer::Flush() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_flushDue = std::chrono::steady_clock::time_point::max();
    for (auto& stream : m_streams)
        if (!stream->queue.empty() || stream->dropped) Wake(*stream);
}

void WebServer::RefreshStations(const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& ch : channels) {
        ChannelView* view = ch ? Find(ch->Name()) : nullptr;
        if (!view) continue;
        const std::vector<GatewayChannel::Station>& stations = ch->Stations();
        for (size_t i = 0; i < stations.size() && i < view->stations.size(); ++i) {
            if (!stations[i].told || stations[i].last == view->stations[i].state) continue;
            view->stations[i].state = stations[i].last;
            Publish("station", Dump(StationObject(view->name, view->stations[i])));
        }
    }
    // a quiet stream says something now and then, so that a client gone is noticed
    const auto now = std::chrono::steady_clock::now();
    if (now >= m_nextKeepAlive) {
        m_nextKeepAlive = now + kKeepAlive;
        for (auto& stream : m_streams) {
            if (stream->dropped) continue;
            stream->queue += ": still here\n\n";
            Wake(*stream);
        }
    }
}

void WebServer::OnWriteResult(const std::string&, const std::string&, const CommandReply& outcome,
                              const CommandTicket& ticket) {
    // only the page's own waits, by the number the gateway gave them
    if (ticket.origin != Origin::web) return;
    if (outcome.result != WriteResult::done && outcome.result != WriteResult::timeout) return;
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_awaiting.find(ticket.id);
    if (it == m_awaiting.end()) return;
    Finish(*it->second->exchange, Answer(outcome));
    m_awaiting.erase(it);
}

void WebServer::SetChannels(const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    std::vector<ChannelView> views;
    for (const auto& ch : channels) {
        if (!ch) continue;
        ChannelView v;
        v.name = ch->Name();
        v.state = ch->State();
        for (const GatewayChannel::Station& st : ch->Stations()) {
            StationView s;
            s.name = st.name;
            s.number = st.number;
            s.state = st.last;
            if (!st.told) s.state.state = StationHealth::unknown;
            v.stations.push_back(s);
        }
        const std::vector<HostTag>& tags = ch->Tags();
        for (size_t i = 0; i < tags.size(); ++i) {
            v.tags.push_back(TagView{tags[i].name, tags[i].hasValue, tags[i].value});
            int station = -1, bit = 0;
            bool output = false;
            ch->TagPlace(i, &station, &bit, &output);
            if (station < 0 || tags[i].handle < 0) continue;
            StationView& s = v.stations[static_cast<size_t>(station)];
            (output ? s.outputs : s.inputs)[bit] = tags[i].name;
        }
        views.push_back(std::move(v));
    }
    std::lock_guard<std::mutex> hold(m_lock);
    for (ChannelView& v : views) {
        if (ChannelView* old = Find(v.name)) v.log = std::move(old->log);  // a reload keeps the log
    }
    m_channels = std::move(views);
}

void WebServer::SetBroker(bool connected) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (connected == m_broker) return;
    m_broker = connected;
    Publish("gateway", Dump(json{{"broker", connected ? "connected" : "disconnected"}}));
}

WebServer::ChannelView* WebServer::Find(const std::string& channel) {
    for (ChannelView& c : m_channels)
        if (c.name == channel) return &c;
    return nullptr;
}

nlohmann::json WebServer::StationObject(const std::string& channel, const StationView& s) {
    json inputs = json::array(), outputs = json::array();
    for (int bit = 0; bit < 8; ++bit) {
        inputs.push_back(s.inputs[bit].empty() ? json(nullptr) : json(s.inputs[bit]));
        outputs.push_back(s.outputs[bit].empty() ? json(nullptr) : json(s.outputs[bit]));
    }
    json j = {{"name", s.name},
              {"number", s.number},
              {"state", StationHealthName(s.state.state)},
              {"controls", s.state.controls},
              {"control_failures", s.state.controlFailures},
              {"polls", s.state.polls},
              {"poll_failures", s.state.pollFailures},
              {"inputs", inputs},
              {"outputs", outputs}};
    if (!channel.empty()) j["channel"] = channel;
    return j;
}

std::string WebServer::StateJson() const {
    std::lock_guard<std::mutex> hold(m_lock);
    json channels = json::array();
    for (const ChannelView& c : m_channels) {
        json stations = json::array(), tags = json::object(), log = json::array();
        for (const StationView& s : c.stations) stations.push_back(StationObject("", s));
        for (const TagView& t : c.tags) tags[t.name] = t.known ? json(t.value != 0 ? 1 : 0) : json();
        for (const LogLine& l : c.log) log.push_back({{"kind", l.kind}, {"text", l.text}, {"time", l.time}});
        channels.push_back({{"name", c.name}, {"state", ChannelStateName(c.state)}, {"stations", stations},
                            {"tags", tags}, {"log", log}});
    }
    return Dump(json{{"gateway", {{"id", m_gatewayId}, {"broker", m_broker ? "connected" : "disconnected"}}},
                     {"channels", channels}});
}

void WebServer::OnValue(const std::string& channel, const std::string& tag, double value) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (ChannelView* c = Find(channel)) {
        for (TagView& t : c->tags) {
            if (t.name != tag) continue;
            t.known = true;
            t.value = value;
        }
    }
    Publish("value", Dump(json{{"channel", channel}, {"tag", tag}, {"value", value != 0 ? 1 : 0}}));
}

void WebServer::OnStation(const std::string& channel, const std::string& station,
                          const StationState& state) {
    std::lock_guard<std::mutex> hold(m_lock);
    ChannelView* c = Find(channel);
    if (!c) return;
    for (StationView& s : c->stations) {
        if (s.name != station) continue;
        s.state = state;
        Publish("station", Dump(StationObject(channel, s)));
    }
}

void WebServer::OnChannelState(const std::string& channel, ChannelState state) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (ChannelView* c = Find(channel)) c->state = state;
    Publish("state", Dump(json{{"channel", channel}, {"state", ChannelStateName(state)}}));
}

void WebServer::OnLog(const std::string& channel, bool fault, const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    LogLine line{fault ? "fault" : "info", text, UtcTimeStamp()};
    if (ChannelView* c = Find(channel)) {
        c->log.push_back(line);
        while (c->log.size() > kLogTail) c->log.pop_front();
    }
    Publish("log", Dump(json{{"channel", channel}, {"kind", line.kind}, {"text", line.text},
                             {"time", line.time}}));
}
