// The page's routes about a channel's settings and scans: read by every
// role, changed by an administrator only, and answered by the gateway's
// thread like the commands are.
#include <poll.h>

#include "gateway/channel/ChannelSettings.h"
#include "gateway/http/Http.h"
#include "gateway/web/WebExchange.h"
#include "gateway/web/WebServer.h"

namespace {

const char kChannels[] = "/api/channels/";

// "/api/channels/<channel>/<what>": false for another path.
bool ChannelRoute(const std::string& url, std::string* channel, std::string* what) {
    if (url.compare(0, sizeof kChannels - 1, kChannels) != 0) return false;
    const std::string rest = url.substr(sizeof kChannels - 1);
    const size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0) return false;
    *channel = rest.substr(0, slash);
    *what = rest.substr(slash + 1);
    return *what == "settings" || *what == "scan";
}

// The tag of If-Match, without its quotes (a weak one's W/ too).
std::string TagOf(std::string header) {
    if (header.compare(0, 2, "W/") == 0) header.erase(0, 2);
    if (header.size() >= 2 && header.front() == '"' && header.back() == '"')
        header = header.substr(1, header.size() - 2);
    return header;
}

}  // namespace

int WebServer::ServeAdmin(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                          const std::string& url, const std::string& method) {
    const bool read = method == "GET" || method == "HEAD";
    if (url == "/api/rules" && read) return QueueJson(connection, {200, SettingsRulesJson()});
    std::string channel, what;
    if (!ChannelRoute(url, &channel, &what)) return -1;
    auto request = std::make_unique<WebRequest>();
    request->command.channel = channel;
    if (what == "settings" && read) {
        request->ask = WebAsk::readSettings;  // every role sees the settings
        return Ask(connection, exchange, std::move(request));
    }
    if (what == "settings" && method == "PUT")
        request->ask = WebAsk::saveSettings;
    else if (what == "scan" && method == "POST")
        request->ask = WebAsk::scan;
    else if (what == "scan" && method == "DELETE")
        request->ask = WebAsk::cancelScan;
    else
        return QueueJson(connection, Reply(405, "error", "not allowed on " + url));
    if (!FromOwnPage(Header(connection, "Sec-Fetch-Site"), Header(connection, "Origin"),
                     Header(connection, "Host")))
        return QueueJson(connection, Reply(403, "error", "not from this page"));
    if (exchange->role != WebRole::admin)
        return QueueJson(connection, Reply(403, "error",
                                           std::string("the role ") + WebRoleName(exchange->role) +
                                               " may not change settings or scan: an admin's"));
    request->body = exchange->body;
    request->ifMatch = TagOf(Header(connection, "If-Match"));
    return Ask(connection, exchange, std::move(request));
}

bool WebServer::ClientGone(const WebRequest& request) const {
    std::lock_guard<std::mutex> hold(m_lock);
    MHD_Connection* connection = request.exchange ? request.exchange->connection : nullptr;
    if (!connection) return true;
    auto it = m_connections.find(connection);
    if (it == m_connections.end() || it->second.fd < 0) return true;
    // (a suspended connection is not watched by the server: its socket is
    // asked whether the client has closed its side)
    pollfd p{it->second.fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void WebServer::OnScan(const std::string& json) {
    std::lock_guard<std::mutex> hold(m_lock);
    Publish("scan", json);
}
