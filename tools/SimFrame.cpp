#include "SimFrame.h"

#include <cstdio>

namespace sim {

namespace {
char Nibble(unsigned v) {
    return static_cast<char>(0x30 + (v & 0x0F));
}
bool IsNibble(uint8_t c) {
    return c >= 0x30 && c <= 0x3F;
}
}  // namespace

std::string BuildFrame(int station, uint8_t data) {
    std::string f;
    f += static_cast<char>(kStx);
    f += Nibble(static_cast<unsigned>(station) >> 4);
    f += Nibble(static_cast<unsigned>(station));
    f += Nibble(data >> 4);
    f += Nibble(data);
    uint8_t x = 0;
    for (char c : f) x ^= static_cast<uint8_t>(c);
    f += Nibble(x >> 4);
    f += Nibble(x);
    f += static_cast<char>(kEtx);
    return f;
}

FrameReader::Event FrameReader::Bad(const std::string& reason) {
    m_reason = reason;
    m_raw.assign(reinterpret_cast<const char*>(m_buf), static_cast<size_t>(m_pos));
    m_pos = 0;
    return badFrame;
}

FrameReader::Event FrameReader::Feed(uint8_t c) {
    if (c == kStx) {
        FrameReader::Event e = none;
        if (m_pos > 0) e = Bad("STX inside a frame: frame restarted");
        m_buf[0] = c;
        m_pos = 1;
        return e;
    }
    if (m_pos == 0) {
        ++m_skipped;
        return none;
    }
    m_buf[m_pos++] = c;
    if (m_pos <= 7) {  // bytes 1-6
        if (!IsNibble(c)) {
            char why[64];
            std::snprintf(why, sizeof why, "byte %d (0x%02X) is not a nibble character", m_pos - 1,
                          c);
            return Bad(why);
        }
        return none;
    }
    // byte 7
    if (c != kEtx) return Bad("byte 7 is not ETX");
    uint8_t x = 0;
    for (int i = 0; i < 5; ++i) x ^= m_buf[i];
    uint8_t check = static_cast<uint8_t>(((m_buf[5] - 0x30) << 4) | (m_buf[6] - 0x30));
    if (check != x) {
        char why[64];
        std::snprintf(why, sizeof why, "check byte 0x%02X, expected 0x%02X", check, x);
        return Bad(why);
    }
    m_station = ((m_buf[1] - 0x30) << 4) | (m_buf[2] - 0x30);
    m_data = static_cast<uint8_t>(((m_buf[3] - 0x30) << 4) | (m_buf[4] - 0x30));
    m_raw.assign(reinterpret_cast<const char*>(m_buf), 8);
    m_pos = 0;
    return frame;
}

}  // namespace sim
