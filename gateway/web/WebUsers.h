// Who may use the web page, and what for: the users file ([web] users_file,
// one "NAME:ROLE:HASH" a line, HASH a crypt(3) hash as mkpasswd makes it), or
// the one user of [web] user and password_file (an admin). Logins are checked
// on the web server's thread; an address that keeps failing is slowed.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/Command.h"
#include "gateway/LoginThrottle.h"

// What a user may do: see everything; also write outputs and command
// stations; also change a channel's settings and scan its line.
enum class WebRole { viewer, operator_, admin };
inline constexpr Named<WebRole> kWebRoles[] = {{WebRole::viewer, "viewer", "보기 (viewer)"},
                                               {WebRole::operator_, "operator", "운전 (operator)"},
                                               {WebRole::admin, "admin", "관리 (admin)"}};
static_assert(InEnumOrder(kWebRoles));
constexpr const char* WebRoleName(WebRole role) {
    return NameIn(kWebRoles, role);
}

struct WebUser {
    std::string name;
    WebRole role = WebRole::viewer;
    std::string hash;   // crypt(3); empty for the password of [web] password_file
    std::string plain;  // that password
};

// Reads a users file (refused when group or others may read it): false with
// *error naming the file, the line and what is wrong.
bool ReadWebUsers(const std::string& path, std::vector<WebUser>* users, std::string* error);

class WebLogin {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = LoginThrottle::kFreeFailures;

    // The users (none: nobody is asked, everyone is an admin).
    void SetUsers(std::vector<WebUser> users);
    bool Asks() const;

    // unchecked: Peek cannot tell without a hash check (Check's, off the
    // server's thread)
    enum class Outcome { ok, missing, wrong, slowed, unchecked };
    struct Result {
        Outcome outcome = Outcome::missing;
        std::string user;
        WebRole role = WebRole::viewer;
        int retryAfter = 0;  // seconds, for slowed
    };
    // An Authorization header from an address, now.
    Result Check(const std::string& authorization, const std::string& address,
                 Clock::time_point now);
    // What can be told without a hash check: nobody asked, a header seen to
    // pass, none or not Basic, an address that waits; else unchecked.
    Result Peek(const std::string& authorization, const std::string& address,
                Clock::time_point now);

    // The same throttle for a scraper's bearer token.
    LoginThrottle& Throttle() { return m_throttle; }

private:
    bool Matches(const WebUser& user, const std::string& password) const;
    bool Settled(const std::string& authorization, const std::string& address,
                 Clock::time_point now, Result* r);

    mutable std::mutex m_lock;
    std::vector<WebUser> m_users;
    std::string m_dummyHash;  // checked for a name nobody has: it costs what a user's check costs
    std::map<std::string, size_t> m_verified;  // an Authorization header that passed -> its user
    LoginThrottle m_throttle;
};

// The user and password of a Basic Authorization header: false for one
// that is not strict base64 of NAME:PASSWORD, or whose password holds a NUL.
bool ReadBasicCredentials(const std::string& authorization, std::string* user,
                          std::string* password);
