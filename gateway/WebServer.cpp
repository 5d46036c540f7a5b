#include "gateway/WebServer.h"

#include <httplib.h>

#include <arpa/inet.h>

#include <cctype>
#include <chrono>
#include <nlohmann/json.hpp>

#include "gateway/Journal.h"
#include "platform/Tick.h"
#include "web_assets.h"

using nlohmann::json;

namespace {

// Event streams held at once; each holds one of the server's threads.
const size_t kMaxStreams = 32;
const size_t kThreads = kMaxStreams + 8;
// Events waiting for one stream; a client that falls further behind is
// closed and reconnects (and reads the whole state again).
const size_t kStreamBacklog = 5000;
const size_t kLogTail = 100;

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

void Send(httplib::Response& res, const std::pair<int, std::string>& reply) {
    res.status = reply.first;
    res.set_content(reply.second, "application/json; charset=utf-8");
}

// The body as a JSON object with the given string keys, or a 400 in *refusal.
bool ParseBody(const httplib::Request& req, std::initializer_list<const char*> keys, json* body,
               std::pair<int, std::string>* refusal) {
    *body = json::parse(req.body, nullptr, false);
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

bool WebServer::OwnHost(const httplib::Request& req) const {
    const std::string host = HostPart(req.get_header_value("Host"));
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
bool WebServer::FromOwnPage(const httplib::Request& req) const {
    const std::string site = req.get_header_value("Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin" && site != "none") return false;
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && origin != "http://" + req.get_header_value("Host")) return false;
    return true;
}

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
        while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
            password.pop_back();
        m_authorization = httplib::make_basic_authentication_header(m_config.user, password).second;
    }
    m_server = std::make_unique<httplib::Server>();
    m_server->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    m_server->set_payload_max_length(64 * 1024);
    Routes();
    if (!m_server->bind_to_port(m_config.listen, m_config.port)) {
        *error = "web: cannot listen on " + m_config.listen + ":" + std::to_string(m_config.port);
        m_server.reset();
        return false;
    }
    m_port = m_config.port;
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    return true;
}

void WebServer::Stop() {
    if (!m_server) return;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
        for (auto& [id, request] : m_awaiting)
            request->reply.set_value(Reply(503, "error", "the gateway is stopping"));
        m_awaiting.clear();
        for (auto& request : m_requests)
            request->reply.set_value(Reply(503, "error", "the gateway is stopping"));
        m_requests.clear();
    }
    m_changed.notify_all();
    m_server->stop();
    if (m_thread.joinable()) m_thread.join();
    m_server.reset();
}

void WebServer::Routes() {
    httplib::Server& s = *m_server;
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!OwnHost(req)) {
            Send(res, Reply(421, "error", "this server is not reached by that name"));
            return httplib::Server::HandlerResponse::Handled;
        }
        // (before the body is read) a body is sent whole, with its length: a
        // chunked one could be any size
        if (req.has_header("Transfer-Encoding")) {
            res.set_header("Connection", "close");
            Send(res, Reply(411, "error", "a body is sent with its Content-Length"));
            return httplib::Server::HandlerResponse::Handled;
        }
        if (m_authorization.empty() ||
            SameSecret(req.get_header_value("Authorization"), m_authorization)) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"drvgw\", charset=\"UTF-8\"");
        res.set_content("{\"error\":\"authentication required\"}", "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });
    for (const WebAsset& a : kWebAssets) {
        if (!a.path) break;
        const std::string path = a.path;
        const WebAsset* asset = &a;
        auto serve = [asset](const httplib::Request&, httplib::Response& res) {
            // nothing the page needs comes from elsewhere, and nothing may
            res.set_header("Content-Security-Policy",
                           "default-src 'self'; connect-src 'self'; img-src 'self' data:");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("Cache-Control", "no-cache");
            res.set_content(asset->data, asset->size, asset->type);
        };
        s.Get(path, serve);
        if (path == "/index.html") s.Get("/", serve);
    }
    s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        Send(res, {200, StateJson()});
    });
    s.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
        auto stream = std::make_shared<Stream>();
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_streams.size() >= kMaxStreams) {
                Send(res, Reply(503, "error", "too many event streams"));
                return;
            }
            m_streams.push_back(stream);
        }
        res.set_header("Cache-Control", "no-store");
        auto first = std::make_shared<bool>(true);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream, first](size_t, httplib::DataSink& sink) {
                std::string out;
                if (*first) {
                    *first = false;
                    out = "retry: 2000\n\n";  // the browser comes back 2 s after a break
                } else {
                    std::unique_lock<std::mutex> hold(m_lock);
                    m_changed.wait_for(hold, std::chrono::seconds(15), [&] {
                        return m_stopping || stream->dropped || !stream->queue.empty();
                    });
                    if (m_stopping || stream->dropped) return false;
                    while (!stream->queue.empty()) {
                        out += stream->queue.front();
                        stream->queue.pop_front();
                    }
                }
                if (out.empty()) out = ": still here\n\n";
                return sink.is_writable() && sink.write(out.data(), out.size());
            },
            [this, stream](bool) {
                std::lock_guard<std::mutex> hold(m_lock);
                m_streams.erase(std::remove(m_streams.begin(), m_streams.end(), stream),
                                m_streams.end());
            });
    });
    s.Post("/api/write", [this](const httplib::Request& req, httplib::Response& res) {
        if (!FromOwnPage(req)) return Send(res, Reply(403, "error", "not from this page"));
        json body;
        std::pair<int, std::string> refusal;
        if (!ParseBody(req, {"channel", "tag"}, &body, &refusal)) return Send(res, refusal);
        auto value = body.find("value");
        if (value == body.end())
            return Send(res, Reply(400, "error", "\"value\" is required"));
        auto wait = body.find("wait");
        if (wait != body.end() && !wait->is_boolean())
            return Send(res, Reply(400, "error", "\"wait\" must be true or false"));
        auto request = std::make_unique<WebRequest>();
        request->command.kind = GatewayCommand::write;
        request->command.ticket.origin = Origin::web;
        request->command.ticket.who = req.remote_addr;
        request->command.channel = body["channel"].get<std::string>();
        request->command.target = body["tag"].get<std::string>();
        // the payload rule is the entry's: it gets the value as it was sent
        request->command.payload = value->dump();
        request->wait = wait == body.end() || wait->get<bool>();
        Send(res, Ask(std::move(request)));
    });
    s.Post("/api/station", [this](const httplib::Request& req, httplib::Response& res) {
        if (!FromOwnPage(req)) return Send(res, Reply(403, "error", "not from this page"));
        json body;
        std::pair<int, std::string> refusal;
        if (!ParseBody(req, {"channel", "station", "command"}, &body, &refusal))
            return Send(res, refusal);
        const std::string command = body["command"].get<std::string>();
        if (command != "enable" && command != "disable" && command != "reset")
            return Send(res, Reply(400, "error", "\"command\" is enable, disable or reset"));
        auto request = std::make_unique<WebRequest>();
        request->command.kind = GatewayCommand::station;
        request->command.ticket.origin = Origin::web;
        request->command.ticket.who = req.remote_addr;
        request->command.channel = body["channel"].get<std::string>();
        request->command.target = body["station"].get<std::string>();
        request->command.payload = command;
        Send(res, Ask(std::move(request)));
    });
}

std::pair<int, std::string> WebServer::Ask(std::unique_ptr<WebRequest> request) {
    std::future<std::pair<int, std::string>> answer = request->reply.get_future();
    std::chrono::milliseconds bound;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopping) return Reply(503, "error", "the gateway is stopping");
        m_requests.push_back(std::move(request));
        bound = m_answerBound;
    }
    m_wake();
    if (answer.wait_for(bound) != std::future_status::ready)
        return Reply(504, "error", "the gateway did not answer in time");
    try {
        return answer.get();
    } catch (const std::future_error&) {
        return Reply(503, "error", "the gateway is stopping");
    }
}

std::vector<std::unique_ptr<WebRequest>> WebServer::TakeRequests() {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::move(m_requests);
}

void WebServer::AwaitOutcome(std::unique_ptr<WebRequest> request, uint64_t ticket) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_stopping) {
        request->reply.set_value(Reply(503, "error", "the gateway is stopping"));
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

void WebServer::SetChannels(const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    std::vector<ChannelView> views;
    std::chrono::milliseconds bound{0};
    for (const auto& ch : channels) {
        if (!ch) continue;
        ChannelView v;
        v.name = ch->Name();
        v.state = ch->State().empty() ? "off" : ch->State();
        for (const GatewayChannel::Station& st : ch->Stations()) {
            StationView s;
            s.name = st.name;
            s.number = st.number;
            s.state = st.last;
            if (!st.told || s.state.state.empty()) s.state.state = "unknown";
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
        bound = std::max(bound, ch->WriteBound());
        views.push_back(std::move(v));
    }
    std::lock_guard<std::mutex> hold(m_lock);
    for (ChannelView& v : views) {
        if (ChannelView* old = Find(v.name)) v.log = std::move(old->log);  // a reload keeps the log
    }
    m_channels = std::move(views);
    m_answerBound = bound + std::chrono::seconds(10);
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

// (with m_lock held)
void WebServer::Publish(const std::string& event, const std::string& data) {
    if (m_streams.empty()) return;
    const std::string message = "event: " + event + "\ndata: " + data + "\n\n";
    for (auto& stream : m_streams) {
        if (stream->dropped) continue;
        if (stream->queue.size() >= kStreamBacklog) {
            stream->dropped = true;
            stream->queue.clear();
            continue;
        }
        stream->queue.push_back(message);
    }
    m_changed.notify_all();
}

nlohmann::json WebServer::StationObject(const std::string& channel, const StationView& s) {
    json inputs = json::array(), outputs = json::array();
    for (int bit = 0; bit < 8; ++bit) {
        inputs.push_back(s.inputs[bit].empty() ? json(nullptr) : json(s.inputs[bit]));
        outputs.push_back(s.outputs[bit].empty() ? json(nullptr) : json(s.outputs[bit]));
    }
    json j = {{"name", s.name},
              {"number", s.number},
              {"state", s.state.state},
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
        channels.push_back({{"name", c.name}, {"state", c.state}, {"stations", stations},
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

void WebServer::OnChannelState(const std::string& channel, const std::string& state) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (ChannelView* c = Find(channel)) c->state = state;
    Publish("state", Dump(json{{"channel", channel}, {"state", state}}));
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

void WebServer::OnWriteResult(const std::string&, const std::string&, const CommandReply& outcome,
                              const CommandTicket& ticket) {
    // only the page's own waits, by the number the gateway gave them
    if (ticket.origin != Origin::web) return;
    if (outcome.result != WriteResult::done && outcome.result != WriteResult::timeout) return;
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_awaiting.find(ticket.id);
    if (it == m_awaiting.end()) return;
    it->second->reply.set_value(Answer(outcome));
    m_awaiting.erase(it);
}
