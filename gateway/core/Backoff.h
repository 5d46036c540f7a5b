// The waits between tries of something that fails (connecting to the broker,
// reopening a lost port): the first wait, doubling with each failure up to
// the last, from the first again after a success.
#pragma once

#include <algorithm>

// The longest wait of every back-off in the gateway.
constexpr int kLastBackoffMs = 30000;

class Backoff {
public:
    explicit constexpr Backoff(int firstMs, int lastMs = kLastBackoffMs)
        : m_first(firstMs), m_last(lastMs) {}
    // The wait after one more failure.
    int Next() {
        m_ms = m_ms == 0 ? m_first : std::min(m_ms * 2, m_last);
        return m_ms;
    }
    // A success: the next failure waits the first wait again.
    void Reset() { m_ms = 0; }
    bool Begun() const { return m_ms != 0; }

private:
    int m_first, m_last;
    int m_ms = 0;
};
