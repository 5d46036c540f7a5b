// The login page (GET /login), the form's login (POST /login) and the log
// out (POST /logout): a browser's session, held in a cookie (WebSessions).
#include <microhttpd.h>

#include "gateway/core/Journal.h"
#include "gateway/http/Http.h"
#include "gateway/web/WebExchange.h"
#include "gateway/web/WebServer.h"
#include "web_assets.h"

namespace {

const char* const kWrong = "사용자 이름이나 암호가 맞지 않습니다 (wrong user or password)";
const char* const kMissing = "사용자와 암호를 넣으십시오 (give a user and a password)";

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Base64 of a user and password, as an Authorization header carries them:
// the form's login is checked as a basic one is (the same throttle, the same
// cost for a name nobody has).
std::string BasicHeader(const std::string& user, const std::string& password) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string in = user + ":" + password;
    std::string out = "Basic ";
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

}  // namespace

std::string WebServer::LoginPage(const std::string& message) {
    std::string page;
    for (const WebAsset& a : kWebAssets) {
        if (!a.path) break;
        if (std::string(a.path) == "/login.html") page.assign(a.data, a.size);
    }
    const std::string slot = "<!--message-->";
    const size_t at = page.find(slot);
    if (at != std::string::npos && !message.empty())
        page.replace(at, slot.size(),
                     "<p class=\"refused\" role=\"alert\" id=\"login-refused\">" +
                         Escaped(message) + "</p>");
    return page;
}

void WebServer::AnswerLoginPage(WebExchange& exchange, int status, const std::string& message) {
    exchange.answer = {status, LoginPage(message)};
    exchange.type = "text/html; charset=utf-8";
    exchange.headers = {{"Cache-Control", "no-store"},
                        {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:"},
                        {"X-Content-Type-Options", "nosniff"}};
    exchange.answered = true;
}

int WebServer::ServeLogin(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                          const std::string& url, const std::string& method) {
    if (url != "/login" && url != "/logout") return -1;
    if (url == "/login" && (method == "GET" || method == "HEAD")) {
        // nobody is asked: there is nothing to log in to
        if (!m_login.Asks()) return Queue(connection, 303, "", "text/plain", {{"Location", "/"}});
        WebExchange page;
        AnswerLoginPage(page, 200, "");
        return QueueAnswer(connection, page);
    }
    if (method != "POST") return QueueJson(connection, Reply(405, "error", "GET or POST"));
    // a form another site shows cannot log a browser in or out
    if (!FromOwnPage(Header(connection, "Sec-Fetch-Site"), Header(connection, "Origin"),
                     Header(connection, "Host")))
        return QueueJson(connection, Reply(403, "error", "not from this page"));
    if (url == "/logout") {
        const std::string token = CookieValue(Header(connection, "Cookie"), WebSessions::kCookie);
        if (!token.empty()) {
            m_sessions.Close(token);
            EndStreamsOf(token);
            Journal(kInfo,
                    "web " + exchange->user + "@" + ClientAddress(connection) + ": logged out");
        }
        const std::string cookie = SessionCookie("", m_config.Tls());
        return Queue(connection, 303, "", "text/plain",
                     {{"Location", "/login"}, {"Set-Cookie", cookie.c_str()}});
    }
    std::string user, password;
    if (!FormField(exchange->body, "user", &user) ||
        !FormField(exchange->body, "password", &password) || user.empty() || password.empty() ||
        user.find(':') != std::string::npos) {
        WebExchange page;
        AnswerLoginPage(page, 400, kMissing);
        return QueueAnswer(connection, page);
    }
    const std::string authorization = BasicHeader(user, password);
    const std::string address = ClientAddress(connection);
    // the hash check on the worker, as a basic login's
    std::shared_ptr<WebExchange> mine = exchange;
    const bool deferred =
        Defer(connection, exchange, [this, mine, authorization, address](bool stopping) {
            const auto now = std::chrono::steady_clock::now();
            WebLogin::Result r;
            if (!stopping) {
                r = m_login.Peek(authorization, address, now);
                if (r.outcome == WebLogin::Outcome::unchecked)
                    r = m_login.Check(authorization, address, now);
            }
            std::string token;
            if (r.outcome == WebLogin::Outcome::ok) token = m_sessions.Open(r.user, r.role, now);
            if (!token.empty()) Journal(kInfo, "web " + r.user + "@" + address + ": logged in");
            std::lock_guard<std::mutex> hold(m_lock);
            WebExchange& e = *mine;
            if (stopping) {
                e.answer = Reply(503, "error", "the gateway is stopping");
                e.answered = true;
            } else if (!token.empty()) {
                e.answer = {303, ""};
                e.type = "text/plain";
                e.headers = {{"Location", "/"},
                             {"Set-Cookie", SessionCookie(token, m_config.Tls())},
                             {"Cache-Control", "no-store"}};
                e.answered = true;
            } else if (r.outcome == WebLogin::Outcome::slowed) {
                AnswerLoginPage(
                    e, 429,
                    "로그인 실패가 너무 많습니다: " + std::to_string(r.retryAfter) +
                        " 초 후에 다시 하십시오 (too many failed logins: try again in " +
                        std::to_string(r.retryAfter) + " s)");
                e.headers.emplace_back("Retry-After", std::to_string(r.retryAfter));
            } else {
                AnswerLoginPage(e, 401, kWrong);
            }
            Resume(e);
        });
    if (!deferred)
        return QueueJson(connection, Reply(503, "error", "too many logins waiting: try again"),
                         {{"Retry-After", "1"}});
    return MHD_YES;
}

void WebServer::EndStreamsOf(const std::string& session) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto& stream : m_streams) {
        if (stream->session != session || stream->dropped) continue;
        stream->dropped = true;
        stream->queue.clear();
        Wake(*stream);
    }
}
