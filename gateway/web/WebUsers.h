// The page's logins (the users of config/WebUsersFile.h), checked off the
// web server's thread; an address that keeps failing is slowed.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/config/WebUsersFile.h"
#include "gateway/core/Command.h"
#include "gateway/http/LoginThrottle.h"

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
