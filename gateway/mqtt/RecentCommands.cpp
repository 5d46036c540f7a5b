#include "gateway/mqtt/RecentCommands.h"

#include <gnutls/crypto.h>

#include <cstring>

bool RecentCommands::DigestOf(const std::string& topic, const CommandTicket& ticket,
                              Digest* digest) {
    if (ticket.request.empty() && ticket.correlation.empty()) return false;
    // (lengths first: no two different triples read as the same bytes)
    std::string text;
    for (const std::string* part : {&topic, &ticket.request, &ticket.correlation})
        text += std::to_string(part->size()) + ':' + *part;
    uint8_t sha[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), sha) != 0) return false;
    std::memcpy(digest->data(), sha, digest->size());
    return true;
}

void RecentCommands::Expire(Clock::time_point now) {
    while (!m_order.empty() && (now - m_order.front().first > kWindow || m_order.size() > kLimit)) {
        auto it = m_entries.find(m_order.front().second);
        if (it != m_entries.end() && it->second.seen == m_order.front().first) {
            m_byTicket.erase(it->second.latest.ticket);
            m_entries.erase(it);
        }
        m_order.pop_front();
    }
}

const CommandReply* RecentCommands::Seen(const Digest& digest, Clock::time_point now) {
    Expire(now);
    auto it = m_entries.find(digest);
    return it == m_entries.end() ? nullptr : &it->second.latest;
}

void RecentCommands::Remember(const Digest& digest, const CommandReply& reply,
                              Clock::time_point now) {
    Entry& e = m_entries[digest];
    if (e.latest.ticket) m_byTicket.erase(e.latest.ticket);
    e.seen = now;
    e.latest = reply;
    m_byTicket[reply.ticket] = digest;
    m_order.emplace_back(now, digest);
    Expire(now);
}

void RecentCommands::Update(const CommandReply& outcome) {
    auto t = m_byTicket.find(outcome.ticket);
    if (t == m_byTicket.end()) return;
    auto it = m_entries.find(t->second);
    if (it != m_entries.end()) it->second.latest = outcome;
}
