// The frame builder on its own, so that a tool can build the driver's frames
// without the engine, its channel and the host's libraries (drvscan).
#include "StationProtocol.h"
#include "protocol/ReplyDecoder.h"

namespace {
inline char Nibble(unsigned v) {
    return static_cast<char>(0x30 + (v & 0x0F));
}
}  // namespace

void CStationProtocol::BuildFrame(int stationNo, uint8_t data, char frame[kFrameSize]) {
    unsigned s = static_cast<unsigned>(stationNo);
    frame[0] = static_cast<char>(CReplyDecoder::kStx);
    frame[1] = Nibble(s >> 4);
    frame[2] = Nibble(s);
    frame[3] = Nibble(data >> 4u);
    frame[4] = Nibble(data);
    uint8_t x = 0;
    for (int i = 0; i < 5; ++i) x ^= static_cast<uint8_t>(frame[i]);
    frame[5] = Nibble(x >> 4u);
    frame[6] = Nibble(x);
    frame[7] = static_cast<char>(CReplyDecoder::kEtx);
}
