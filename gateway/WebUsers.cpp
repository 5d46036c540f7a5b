#include "gateway/WebUsers.h"

#include <crypt.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "gateway/GatewayConfig.h"

namespace {

// The remembered logins and the addresses that failed are bounded: a client
// sending ever new names or addresses makes the oldest go.
const size_t kMaxVerified = 256;
const size_t kMaxFailures = 4096;
const int kLongestWindow = 30;

std::string Base64Decode(const std::string& in) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char ch : in) {
        if (ch == '=') break;
        const size_t v = digits.find(ch);
        if (v == std::string::npos) return "";
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// Equal texts, in a time that does not tell how much of them matched.
bool SameText(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

}  // namespace

bool ReadWebUsers(const std::string& path, std::vector<WebUser>* users, std::string* error) {
    std::string text;
    if (!ReadPrivateFile(path, &text, error)) return false;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    users->clear();
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos || first == 0) {
            *error = where + "a user is NAME:ROLE:HASH";
            return false;
        }
        WebUser u;
        u.name = line.substr(0, first);
        const std::string role = line.substr(first + 1, second - first - 1);
        u.hash = line.substr(second + 1);
        bool known = false;
        for (const auto& r : kWebRoles)
            if (role == r.name) u.role = r.value, known = true;
        if (!known) {
            *error = where + "the role is viewer, operator or admin, not \"" + role + "\"";
            return false;
        }
        if (u.hash.empty() || u.hash[0] != '$') {
            *error =
                where + "the hash is crypt(3)'s, as mkpasswd makes it (\"$y$...\", \"$6$...\")";
            return false;
        }
        for (const WebUser& other : *users)
            if (other.name == u.name) {
                *error = where + "\"" + u.name + "\" is named twice";
                return false;
            }
        users->push_back(u);
    }
    if (users->empty()) {
        *error = path + ": names no user";
        return false;
    }
    return true;
}

void WebLogin::SetUsers(std::vector<WebUser> users) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_users = std::move(users);
    m_verified.clear();
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

void WebLogin::Failed(Failures& f, Clock::time_point now) {
    f.last = now;
    if (++f.count < kFreeFailures) return;
    f.windowSeconds = f.windowSeconds ? std::min(f.windowSeconds * 2, kLongestWindow) : 1;
    f.until = now + std::chrono::seconds(f.windowSeconds);
}

WebLogin::Result WebLogin::Check(const std::string& authorization, const std::string& address,
                                 Clock::time_point now) {
    Result r;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_users.empty()) {
        r.outcome = Outcome::ok;
        r.role = WebRole::admin;
        return r;
    }
    if (authorization.compare(0, 6, "Basic ") != 0) return r;  // missing
    auto failed = m_failures.find(address);
    if (failed != m_failures.end() && now < failed->second.until) {
        // not even looked at: waiting costs the server nothing
        r.outcome = Outcome::slowed;
        r.retryAfter = static_cast<int>(
            std::chrono::ceil<std::chrono::seconds>(failed->second.until - now).count());
        return r;
    }
    auto known = m_verified.find(authorization);
    size_t index = m_users.size();
    if (known != m_verified.end()) {
        index = known->second;
    } else {
        const std::string pair = Base64Decode(authorization.substr(6));
        const size_t colon = pair.find(':');
        for (size_t i = 0; colon != std::string::npos && i < m_users.size(); ++i)
            if (m_users[i].name == pair.substr(0, colon) &&
                Matches(m_users[i], pair.substr(colon + 1)))
                index = i;
        if (index < m_users.size()) {
            if (m_verified.size() >= kMaxVerified) m_verified.clear();
            m_verified[authorization] = index;
        }
    }
    if (index >= m_users.size()) {
        if (failed == m_failures.end()) {
            if (m_failures.size() >= kMaxFailures) m_failures.clear();
            failed = m_failures.emplace(address, Failures{}).first;
        }
        Failed(failed->second, now);
        r.outcome = Outcome::wrong;
        return r;
    }
    if (failed != m_failures.end()) m_failures.erase(failed);
    r.outcome = Outcome::ok;
    r.user = m_users[index].name;
    r.role = m_users[index].role;
    return r;
}
