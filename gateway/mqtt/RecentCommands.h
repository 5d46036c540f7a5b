// The MQTT commands seen lately, so that a command delivered twice (QoS 1
// may) acts once and its repeat is answered with the first one's latest
// outcome. Kept by a digest of topic, request id and correlation data, never
// the data itself, and bounded in count: a client sending thousands of
// commands with large correlation data costs a few bytes each. Used on the
// gateway's loop alone.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "gateway/core/Command.h"

class RecentCommands {
public:
    using Clock = std::chrono::steady_clock;
    using Digest = std::array<uint8_t, 16>;
    static constexpr size_t kLimit = 4096;
    static constexpr std::chrono::seconds kWindow{30};

    // The command's digest; false for one that names no request (no id and no
    // correlation data): such a command is never taken for a repeat.
    static bool DigestOf(const std::string& topic, const CommandTicket& ticket, Digest* digest);
    // The first one's latest outcome when this digest was seen within the
    // window, else null.
    const CommandReply* Seen(const Digest& digest, Clock::time_point now);
    // A command that acted: its outcome, and its ticket to follow it by.
    void Remember(const Digest& digest, const CommandReply& reply, Clock::time_point now);
    // A later outcome of a remembered command (by its ticket).
    void Update(const CommandReply& outcome);
    size_t Size() const { return m_entries.size(); }

private:
    void Expire(Clock::time_point now);
    struct Entry {
        Clock::time_point seen;
        CommandReply latest;
    };
    std::map<Digest, Entry> m_entries;
    std::deque<std::pair<Clock::time_point, Digest>> m_order;  // oldest first
    std::map<uint64_t, Digest> m_byTicket;
};
