// An auto-reset event: Set lets exactly one wait through (now or later).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class CEvent {
public:
    void Set() {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_bSignalled = true;
        }
        m_cv.notify_one();
    }
    // Waits until set, consuming the signal; false when timeoutMs ran out.
    bool Lock(uint32_t timeoutMs) {
        std::unique_lock<std::mutex> hold(m_lock);
        if (!m_cv.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [this] { return m_bSignalled; })) {
            return false;
        }
        m_bSignalled = false;
        return true;
    }
    void Lock() {
        std::unique_lock<std::mutex> hold(m_lock);
        m_cv.wait(hold, [this] { return m_bSignalled; });
        m_bSignalled = false;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_bSignalled = false;
};
