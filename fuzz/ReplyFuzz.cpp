// The reply decoder fed from a byte source instead of the line: any bytes end
// a Receive with 0 or 1, push status bytes only through the tag table, never
// read past what arrives, and Receive takes a reply exactly where the decoder
// alone finds the first one.
#include <cstddef>
#include <cstdint>

#include "channel/Channel.h"
#include "config/StationData.h"
#include "host/HostInterface.h"
#include "platform/Tick.h"
#include "protocol/ReplyDecoder.h"

namespace {

class ByteChannel : public CChannel {
public:
    const uint8_t* data = nullptr;
    size_t size = 0, pos = 0;
    int Send(const char*, int) override { return 1; }
    int ReceiveByte(char* out, int* status) override {
        if (pos >= size) {
            *status = 1;  // a time-out: nothing more arrives
            return 0;
        }
        *out = static_cast<char>(data[pos++]);
        *status = 0;
        return 1;
    }
};

void NoSleep(uint32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tick_seam::SetSleepHook(&NoSleep);
    static ByteChannel* channel = [] {
        auto* c = new ByteChannel;
        auto* s = new CStationData;
        s->SetName("P");
        c->AddStation(s);
        c->AttachStations();
        for (const char* address : {"I0", "I7", "O3"})
            s->RegisterTag(address, kDigitalTagType, 0, 1);
        return c;
    }();
    if (size == 0) return 0;
    CStationData* station = channel->GetStationAt(0);
    station->SetStationNo(data[0]);  // the first byte picks the station listening
    channel->data = data + 1;
    channel->size = size - 1;
    channel->pos = 0;
    int got = station->GetEngine().Receive();
    if (got != 0 && got != 1) __builtin_trap();
    if (channel->pos > channel->size) __builtin_trap();

    CReplyDecoder decoder(data[0]);
    size_t end = 0;
    bool complete = false;
    while (!complete && end < size - 1)
        complete = decoder.Feed(data[1 + end++]) == CReplyDecoder::complete;
    if (complete != (got == 1) || (complete && end != channel->pos)) __builtin_trap();
    // a control and a poll over the rest, through the retry rule
    CTagVal value(kValueTypeNumber, 1.0);
    station->WriteValue(2, value);
    station->GetEngine().ServeControl();
    station->GetEngine().Poll();
    return 0;
}
