#include "gateway/web/WebUsers.h"

#include <crypt.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "gateway/config/GatewayConfig.h"

namespace {

// The remembered logins and the addresses that failed are bounded: a client
// sending ever new names or addresses makes the oldest go.
const size_t kMaxVerified = 256;

// Strict base64 (RFC 4648, padded): false for any other text, or for
// anything after the padding.
bool Base64Decode(const std::string& in, std::string* out) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (in.size() % 4 != 0) return false;
    const size_t pad = in.find('=');
    if (pad != std::string::npos &&
        (in.size() - pad > 2 || in.find_first_not_of('=', pad) != std::string::npos))
        return false;
    uint32_t bits = 0;
    int count = 0;
    for (char ch : in.substr(0, pad)) {
        const size_t v = digits.find(ch);
        if (v == std::string::npos) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out->push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return true;
}

// Equal texts, in a time that does not tell how much of them matched.
bool SameText(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

}  // namespace

bool ReadBasicCredentials(const std::string& authorization, std::string* user,
                          std::string* password) {
    if (authorization.compare(0, 6, "Basic ") != 0) return false;
    std::string pair;
    if (!Base64Decode(authorization.substr(6), &pair)) return false;
    const size_t colon = pair.find(':');
    if (colon == std::string::npos || pair.find('\0') != std::string::npos) return false;
    *user = pair.substr(0, colon);
    *password = pair.substr(colon + 1);
    return true;
}

void WebLogin::SetUsers(std::vector<WebUser> users) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_users = std::move(users);
    m_verified.clear();
    // a hash made as the users' are (the first one's method and cost)
    m_dummyHash.clear();
    for (const WebUser& u : m_users) {
        if (u.hash.empty()) continue;
        auto data = std::make_unique<crypt_data>();
        data->initialized = 0;
        const char* made = crypt_r("no such user", u.hash.c_str(), data.get());
        if (made && made[0] != '*') m_dummyHash = made;
        break;
    }
}

bool WebLogin::Asks() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return !m_users.empty();
}

bool WebLogin::Matches(const WebUser& user, const std::string& password) const {
    if (user.hash.empty()) return SameText(password, user.plain);
    auto data = std::make_unique<crypt_data>();
    data->initialized = 0;
    const char* computed = crypt_r(password.c_str(), user.hash.c_str(), data.get());
    return computed && computed[0] != '*' && SameText(computed, user.hash);
}

// (m_lock held) What is told before any password is looked at: nobody
// asked, no Basic header, an address that waits; true when that settles it.
bool WebLogin::Settled(const std::string& authorization, const std::string& address,
                       Clock::time_point now, Result* r) {
    if (m_users.empty()) {
        r->outcome = Outcome::ok;
        r->role = WebRole::admin;
        return true;
    }
    if (authorization.compare(0, 6, "Basic ") != 0) return true;  // missing
    // not even looked at: waiting costs the server nothing
    if (m_throttle.Slowed(address, now, &r->retryAfter)) {
        r->outcome = Outcome::slowed;
        return true;
    }
    return false;
}

WebLogin::Result WebLogin::Peek(const std::string& authorization, const std::string& address,
                                Clock::time_point now) {
    Result r;
    std::lock_guard<std::mutex> hold(m_lock);
    if (Settled(authorization, address, now, &r)) return r;
    auto known = m_verified.find(authorization);
    if (known == m_verified.end()) {
        r.outcome = Outcome::unchecked;
        return r;
    }
    m_throttle.Passed(address);
    r.outcome = Outcome::ok;
    r.user = m_users[known->second].name;
    r.role = m_users[known->second].role;
    return r;
}

WebLogin::Result WebLogin::Check(const std::string& authorization, const std::string& address,
                                 Clock::time_point now) {
    Result r;
    std::lock_guard<std::mutex> hold(m_lock);
    if (Settled(authorization, address, now, &r)) return r;
    auto known = m_verified.find(authorization);
    size_t index = m_users.size();
    if (known != m_verified.end()) {
        index = known->second;
    } else {
        std::string name, password;
        if (ReadBasicCredentials(authorization, &name, &password)) {
            bool named = false;
            for (size_t i = 0; i < m_users.size(); ++i) {
                if (m_users[i].name != name) continue;
                named = true;
                if (Matches(m_users[i], password)) index = i;
            }
            // a name nobody has costs a check as well: names are not found by timing
            if (!named && !m_dummyHash.empty()) {
                WebUser nobody;
                nobody.hash = m_dummyHash;
                Matches(nobody, password);
            }
        }
        if (index < m_users.size()) {
            if (m_verified.size() >= kMaxVerified) m_verified.clear();
            m_verified[authorization] = index;
        }
    }
    if (index >= m_users.size()) {
        m_throttle.Failed(address, now);
        r.outcome = Outcome::wrong;
        return r;
    }
    m_throttle.Passed(address);
    r.outcome = Outcome::ok;
    r.user = m_users[index].name;
    r.role = m_users[index].role;
    return r;
}
