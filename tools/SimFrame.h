// The controller's side of the eight-byte frame, written apart from the
// driver's so that each checks the other: STX, station number and data byte
// as nibble characters (0x30 + nibble), the XOR of bytes 0-4 as two nibble
// characters, ETX.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

const uint8_t kStx = 0x02;
const uint8_t kEtx = 0x03;

std::string BuildFrame(int station, uint8_t data);

// Reads a byte stream as strictly as a controller does.
class FrameReader {
public:
    enum Event { none, frame, badFrame };
    // Feeds one byte. frame: Station() and Data() hold the request;
    // badFrame: Reason() says what was wrong. Bytes outside frames are
    // counted as Skipped().
    Event Feed(uint8_t byte);
    int Station() const { return m_station; }
    uint8_t Data() const { return m_data; }
    const std::string& Reason() const { return m_reason; }
    const std::string& Raw() const { return m_raw; }
    unsigned long Skipped() const { return m_skipped; }

private:
    Event Bad(const std::string& reason);
    int m_pos = 0;  // 0: hunting for STX
    uint8_t m_buf[8] = {};
    int m_station = 0;
    uint8_t m_data = 0;
    std::string m_reason;
    std::string m_raw;
    unsigned long m_skipped = 0;
};

}  // namespace sim
