// What the page and the metrics listener share against guessing: failed
// logins and wrong bearer tokens counted by address.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

// Failed logins by address: after kFreeFailures in a row an address waits
// (1 s, doubling to 30 s, until it succeeds). Bounded: when full, the
// address with the fewest failures goes, so throw-away addresses cannot make
// room for an address that is being slowed. Any thread.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 5;
    static constexpr size_t kMostAddresses = 4096;

    // Whether the address waits now (*retryAfter: seconds).
    bool Slowed(const std::string& address, Clock::time_point now, int* retryAfter);
    void Failed(const std::string& address, Clock::time_point now);
    void Passed(const std::string& address);

private:
    struct Failures {
        int count = 0;
        int windowSeconds = 0;
        Clock::time_point until{};
        Clock::time_point last{};
    };
    std::mutex m_lock;
    std::map<std::string, Failures> m_failures;
};
