// The driver's own work per step, without the wire: building a frame,
// reading a reply from a byte source, pushing a status byte to the tags,
// parsing addresses, and the host's calls on a channel. Run: make bench.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "channel/Channel.h"
#include "config/StationData.h"
#include "host/HostInterface.h"
#include "host/TagVal.h"
#include "platform/CString.h"
#include "platform/Tick.h"
#include "protocol/ReplyDecoder.h"
#include "protocol/StationProtocol.h"
#include "protocol/TagTable.h"

namespace {

// A channel whose line is a fixed reply, replayed for every read.
class ReplayChannel : public CChannel {
public:
    std::string reply;
    size_t pos = 0;
    int Send(const char*, int) override {
        pos = 0;
        return 1;
    }
    int ReceiveByte(char* out, int* status) override {
        if (pos >= reply.size()) {
            *status = 1;
            return 0;
        }
        *out = reply[pos++];
        *status = 0;
        return 1;
    }
    // the frame trace, as KRANDOLIX_TRACE turns it on at a start
    bool TraceTo(const std::string& folder) {
        m_trace = std::make_unique<CFrameTrace>(folder, "bench");
        return m_trace->Open();
    }
};

ReplayChannel* MakeChannel(int tags) {
    auto* channel = new ReplayChannel;
    char frame[8];
    CStationProtocol::BuildFrame(1, 0xA5, frame);
    channel->reply.assign(frame, 8);
    auto* station = new CStationData;
    station->SetName("P1");
    station->SetStationNo(1);
    channel->AddStation(station);
    channel->AttachStations();
    for (int i = 0; i < tags; ++i) station->RegisterTag(i % 2 ? "I3" : "O3", kDigitalTagType, 0, 1);
    return channel;
}

void NoSleep(uint32_t) {}

void BM_BuildFrame(benchmark::State& state) {
    char frame[8];
    int station = 0;
    for (auto _ : state) {
        CStationProtocol::BuildFrame(station++ & 0xFF, 0x08, frame);
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(BM_BuildFrame);

// A reply decoded byte by byte.
void BM_DecodeReply(benchmark::State& state) {
    char frame[8];
    CStationProtocol::BuildFrame(1, 0xA5, frame);
    CReplyDecoder decoder(1);
    for (auto _ : state) {
        for (char c : frame) benchmark::DoNotOptimize(decoder.Feed(static_cast<uint8_t>(c)));
        benchmark::DoNotOptimize(decoder.GetStatusByte());
    }
}
BENCHMARK(BM_DecodeReply);

// A poll: frame, send, byte-by-byte decode, push to every input tag.
void BM_Poll(benchmark::State& state) {
    ReplayChannel* channel = MakeChannel(static_cast<int>(state.range(0)));
    CStationData* station = channel->GetStationAt(0);
    for (auto _ : state) station->GetEngine().Poll();
    state.SetLabel(std::to_string(state.range(0)) + " tags, no host database");
    delete channel;
}
BENCHMARK(BM_Poll)->Arg(1)->Arg(8)->Arg(64);

// The same poll with the frame trace on: two lines written and flushed to a
// file in the system's temporary folder (BM_Poll/8 is the same poll with it off).
void BM_PollTraced(benchmark::State& state) {
    ReplayChannel* channel = MakeChannel(static_cast<int>(state.range(0)));
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    if (!channel->TraceTo(folder.string())) {
        state.SkipWithError("cannot write the trace file");
        delete channel;
        return;
    }
    CStationData* station = channel->GetStationAt(0);
    for (auto _ : state) station->GetEngine().Poll();
    state.SetLabel(std::to_string(state.range(0)) + " tags, trace on");
    delete channel;
    std::remove((folder / "bench.trace").string().c_str());
    std::remove((folder / "bench.trace.1").string().c_str());
}
BENCHMARK(BM_PollTraced)->Arg(8);

// A queued write served: queue, take, frame, send, decode.
void BM_Control(benchmark::State& state) {
    tick_seam::SetSleepHook(&NoSleep);
    ReplayChannel* channel = MakeChannel(2);
    CStationData* station = channel->GetStationAt(0);
    CTagVal value(kValueTypeNumber, 1.0);
    for (auto _ : state) {
        station->WriteValue(0, value);
        station->GetEngine().ServeControl();
    }
    delete channel;
    tick_seam::SetSleepHook(nullptr);
}
BENCHMARK(BM_Control);

void BM_ParseAddress(benchmark::State& state) {
    CTagTable table;
    for (auto _ : state) {
        CString message;
        auto tag = table.ParseAddress(" i5 ", kDigitalTagType, 0, 1, &message);
        benchmark::DoNotOptimize(tag);
    }
}
BENCHMARK(BM_ParseAddress);

// The host's status question on a channel of 32 stations.
void BM_GetStatusSummary(benchmark::State& state) {
    ReplayChannel* channel = MakeChannel(0);
    for (int i = 2; i <= 32; ++i) {
        auto* s = new CStationData;
        s->SetName(("S" + std::to_string(i)).c_str());
        channel->AddStation(s);
    }
    int c[4];
    for (auto _ : state)
        benchmark::DoNotOptimize(channel->GetStatus(nullptr, &c[0], &c[1], &c[2], &c[3]));
    delete channel;
}
BENCHMARK(BM_GetStatusSummary);

}  // namespace

BENCHMARK_MAIN();
