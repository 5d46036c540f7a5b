// What the page's API asks of the gateway: the requests read from their
// bodies, the entry's answers as the API gives them, and which requests are
// let in (the names this server is reached by, the page's own origin).
#include <arpa/inet.h>

#include <cctype>
#include <nlohmann/json.hpp>

#include "gateway/web/WebServer.h"

using nlohmann::json;

namespace {

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
            *refusal =
                WebServer::Reply(400, "error", std::string("\"") + k + "\" must be a string");
            return false;
        }
    }
    return true;
}

}  // namespace

bool WebServer::OwnHost(const std::string& hostHeader) const {
    const std::string host = HostPart(hostHeader);
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
bool WebServer::FromOwnPage(const std::string& site, const std::string& origin,
                            const std::string& host) const {
    if (!site.empty() && site != "same-origin" && site != "none") return false;
    return origin.empty() || origin == (m_config.Tls() ? "https://" : "http://") + host;
}

std::pair<int, std::string> WebServer::WriteRequest(const std::string& text,
                                                    std::unique_ptr<WebRequest>* request) const {
    json body;
    std::pair<int, std::string> refusal;
    if (!ParseBody(text, {"channel", "tag"}, &body, &refusal)) return refusal;
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

std::pair<int, std::string> WebServer::StationRequest(const std::string& text,
                                                      std::unique_ptr<WebRequest>* request) const {
    json body;
    std::pair<int, std::string> refusal;
    if (!ParseBody(text, {"channel", "station", "command"}, &body, &refusal)) return refusal;
    const std::string command = body["command"].get<std::string>();
    StationAction action;
    if (!StationActionOf(command, &action))
        return Reply(400, "error", RefusalText(Refusal::command));
    *request = std::make_unique<WebRequest>();
    (*request)->command.kind = GatewayCommand::station;
    (*request)->command.channel = body["channel"].get<std::string>();
    (*request)->command.target = body["station"].get<std::string>();
    (*request)->command.payload = command;
    return {};
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
    return {200, JsonText(OutcomeJson(reply))};
}
