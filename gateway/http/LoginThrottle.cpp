#include "gateway/http/LoginThrottle.h"

#include <algorithm>

namespace {

const int kLongestWindow = 30;  // seconds an address waits at most

}  // namespace

bool LoginThrottle::Slowed(const std::string& address, Clock::time_point now, int* retryAfter) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto f = m_failures.find(address);
    if (f == m_failures.end() || now >= f->second.until) return false;
    *retryAfter =
        static_cast<int>(std::chrono::ceil<std::chrono::seconds>(f->second.until - now).count());
    return true;
}

void LoginThrottle::Failed(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_failures.find(address);
    if (it == m_failures.end()) {
        if (m_failures.size() >= kMostAddresses) {
            // the one that failed least (and of those the longest ago) goes
            auto least = m_failures.begin();
            for (auto f = m_failures.begin(); f != m_failures.end(); ++f)
                if (f->second.count < least->second.count ||
                    (f->second.count == least->second.count && f->second.last < least->second.last))
                    least = f;
            m_failures.erase(least);
        }
        it = m_failures.emplace(address, Failures{}).first;
    }
    Failures& f = it->second;
    f.last = now;
    if (++f.count < kFreeFailures) return;
    f.windowSeconds = f.windowSeconds ? std::min(f.windowSeconds * 2, kLongestWindow) : 1;
    f.until = now + std::chrono::seconds(f.windowSeconds);
}

void LoginThrottle::Passed(const std::string& address) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_failures.erase(address);
}
