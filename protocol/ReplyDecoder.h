// A station's reply, recognised one byte at a time, without I/O, deadline or
// logging (the engine's Receive keeps those): STX, the station number and the
// status byte as nibble characters (0x30 + nibble), the XOR of the first five
// bytes as two nibble characters, ETX.
//
// How it reads, byte by byte:
// - STX starts a frame again from any state, even inside a frame;
// - outside a frame every other byte is skipped;
// - a station character that is not this station's drops the frame
//   (another station's reply);
// - the two data characters are not checked: each gives its low nibble;
// - a check character that differs drops the frame (a check error);
// - anything but ETX in the last place drops the frame silently.
#pragma once

#include <cstdint>

class CReplyDecoder {
public:
    enum Result {
        needMore,      // nothing decided yet
        complete,      // a whole reply: GetStatusByte holds its status byte
        checkError,    // a check character differed: the frame was dropped
        otherStation,  // the frame names another station: dropped
    };
    static const uint8_t kStx = 0x02;
    static const uint8_t kEtx = 0x03;

    explicit CReplyDecoder(int stationNo)
        : m_stationHigh(static_cast<uint8_t>((stationNo >> 4) & 0x0F)),
          m_stationLow(static_cast<uint8_t>(stationNo & 0x0F)) {}

    // Back to hunting for STX.
    void Reset() { m_state = 0; }

    Result Feed(uint8_t c) {
        if (c == kStx) {
            m_check = c;
            m_state = 1;
            return needMore;
        }
        const uint8_t nibble = static_cast<uint8_t>(c - 0x30);
        switch (m_state) {
            case 0:
                return needMore;  // hunting for STX
            case 1:
            case 2:
                if (nibble != (m_state == 1 ? m_stationHigh : m_stationLow)) {
                    m_state = 0;
                    return otherStation;
                }
                break;
            case 3:
            case 4:
                // any byte gives its low nibble, in unsigned arithmetic
                m_status = static_cast<uint8_t>((m_status << 4) | ((c - 0x30u) & 0x0F));
                break;
            case 5:
            case 6:
                if (nibble != (m_state == 5 ? (m_check >> 4) & 0x0F : m_check & 0x0F)) {
                    m_state = 0;
                    return checkError;
                }
                ++m_state;
                return needMore;
            default:
                m_state = 0;
                return c == kEtx ? complete : needMore;
        }
        m_check ^= c;
        ++m_state;
        return needMore;
    }

    uint8_t GetStatusByte() const { return m_status; }
    // Where the next byte lands: 0 hunting for STX, 1-2 station, 3-4 data,
    // 5-6 check, 7 ETX (for the frame trace).
    int GetState() const { return m_state; }

private:
    uint8_t m_stationHigh;
    uint8_t m_stationLow;
    uint8_t m_state = 0;  // 0 hunting, 1-2 station, 3-4 data, 5-6 check, 7 ETX
    uint8_t m_check = 0;
    uint8_t m_status = 0;
};
