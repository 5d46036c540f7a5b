#include "gateway/web/WebSessions.h"

#include <sys/random.h>

#include <algorithm>

std::string WebSessions::Open(const std::string& user, WebRole role, Clock::time_point now) {
    unsigned char random[32];
    size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : random) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    std::lock_guard<std::mutex> hold(m_lock);
    // the idle ones go first, then, if still full, the one idle longest
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = now - it->second.used >= m_idle ? m_sessions.erase(it) : std::next(it);
    if (m_sessions.size() >= kMost) {
        auto idlest = std::min_element(
            m_sessions.begin(), m_sessions.end(),
            [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
        m_sessions.erase(idlest);
    }
    m_sessions[token] = Session{user, role, now};
    return token;
}

// (m_lock held) The session of a token, used now; null for none or one idle
// too long (then ended).
WebSessions::Session* WebSessions::Renew(const std::string& token, Clock::time_point now) {
    auto it = m_sessions.find(token);
    if (it == m_sessions.end()) return nullptr;
    if (now - it->second.used >= m_idle) {
        m_sessions.erase(it);
        return nullptr;
    }
    it->second.used = now;
    return &it->second;
}

bool WebSessions::Use(const std::string& token, Clock::time_point now, std::string* user,
                      WebRole* role) {
    std::lock_guard<std::mutex> hold(m_lock);
    const Session* s = Renew(token, now);
    if (!s) return false;
    *user = s->user;
    *role = s->role;
    return true;
}

bool WebSessions::Touch(const std::string& token, Clock::time_point now) {
    std::lock_guard<std::mutex> hold(m_lock);
    return Renew(token, now) != nullptr;
}

void WebSessions::Close(const std::string& token) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_sessions.erase(token);
}

void WebSessions::Keep(const std::vector<WebUser>& users) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        auto now = std::find_if(users.begin(), users.end(),
                                [&](const WebUser& u) { return u.name == it->second.user; });
        const bool stays = now != users.end() && now->role >= it->second.role;
        it = stays ? std::next(it) : m_sessions.erase(it);
    }
}

size_t WebSessions::Size() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_sessions.size();
}

std::string CookieValue(const std::string& header, const std::string& name) {
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string::npos) end = header.size();
        size_t start = header.find_first_not_of(' ', at);
        if (start < end) {
            const std::string pair = header.substr(start, end - start);
            if (pair.size() > name.size() && pair.compare(0, name.size(), name) == 0 &&
                pair[name.size()] == '=')
                return pair.substr(name.size() + 1);
        }
        at = end + 1;
    }
    return "";
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Decode(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            *out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return false;
            const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0) return false;
            *out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            *out += text[i];
        }
    }
    return true;
}

}  // namespace

bool FormField(const std::string& body, const std::string& name, std::string* value) {
    size_t at = 0;
    while (at <= body.size()) {
        size_t end = body.find('&', at);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(at, end - at);
        const size_t equals = pair.find('=');
        std::string key;
        if (equals != std::string::npos && Decode(pair.substr(0, equals), &key) && key == name)
            return Decode(pair.substr(equals + 1), value);
        at = end + 1;
    }
    return false;
}

std::string SessionCookie(const std::string& token, bool secure) {
    std::string cookie =
        std::string(WebSessions::kCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
    if (secure) cookie += "; Secure";
    if (token.empty()) cookie += "; Max-Age=0";
    return cookie;
}
