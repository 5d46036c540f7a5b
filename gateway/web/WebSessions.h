// The page's logins by form: a session a browser holds in a cookie
// (HttpOnly, SameSite=Strict, Secure over HTTPS), ended by logging out, by
// being idle too long, or by its user being removed or lowered at a reload.
// HTTP basic authentication stays beside it for scripts.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/web/WebUsers.h"

class WebSessions {
public:
    using Clock = std::chrono::steady_clock;
    // Sessions at once: when full, the one idle longest makes room.
    static constexpr size_t kMost = 256;
    static constexpr const char* kCookie = "drvgw_session";

    explicit WebSessions(std::chrono::seconds idle = std::chrono::minutes(30)) : m_idle(idle) {}

    // A new session for a user who logged in: its token (64 hex digits of
    // the system's random source).
    std::string Open(const std::string& user, WebRole role, Clock::time_point now);
    // The session of a token, used now: false for none or one idle too long
    // (then ended).
    bool Use(const std::string& token, Clock::time_point now, std::string* user, WebRole* role);
    // A session kept alive without a request (an event stream open on it):
    // false when it has ended.
    bool Touch(const std::string& token, Clock::time_point now);
    void Close(const std::string& token);
    // The users now: the sessions of those gone, or whose role fell, end.
    void Keep(const std::vector<WebUser>& users);
    size_t Size() const;

private:
    struct Session {
        std::string user;
        WebRole role = WebRole::viewer;
        Clock::time_point used;
    };
    Session* Renew(const std::string& token, Clock::time_point now);
    mutable std::mutex m_lock;
    std::chrono::seconds m_idle;
    std::map<std::string, Session> m_sessions;  // by token
};

// The value of one cookie in a Cookie header ("" when it is not there).
std::string CookieValue(const std::string& header, const std::string& name);
// The value of one field of an application/x-www-form-urlencoded body, decoded;
// false when it is not there or is not well encoded.
bool FormField(const std::string& body, const std::string& name, std::string* value);
// The Set-Cookie header's value for a session (an empty token: the cookie removed).
std::string SessionCookie(const std::string& token, bool secure);
