// What the edge node keeps while no host hears it (the broker away, or the
// primary host offline): the value and state changes, oldest first, at most
// `bound` of them (the oldest dropped beyond, and counted), in a file of the
// state folder so that a restart keeps them. Forwarded after the births as
// historical metrics, then cleared. The loop's alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "gateway/sparkplug/SparkplugPayload.h"

class SparkplugBuffer {
public:
    struct Event {
        std::string device;     // its device_id
        sparkplug::Metric metric;  // by name, with its type, value and time
    };

    ~SparkplugBuffer();
    // Takes up what the file holds, the newest `bound` of it (a line that
    // cannot be read, as a crash may leave the last, is skipped and counted
    // as dropped): false with *error when the file cannot be written.
    bool Open(const std::string& path, size_t bound, std::string* error);
    void Add(const Event& e);
    const std::deque<Event>& Events() const { return m_events; }
    // Once forwarded: none kept, the file emptied.
    void Clear();
    size_t Size() const { return m_events.size(); }
    uint64_t Dropped() const { return m_dropped; }

private:
    void Rewrite();

    std::string m_path;
    size_t m_bound = 0;
    std::FILE* m_file = nullptr;
    std::deque<Event> m_events;
    size_t m_lines = 0;  // in the file (dropped ones too, until rewritten)
    uint64_t m_dropped = 0;
};
