// The protocol engine and the station's scan visit, in this process, against
// a simulator: frames, replies, the retry rule and the write queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HostRecorder.h"
#include "SimControl.h"
#include "TestSupport.h"
#include "channel/Channel.h"
#include "com_ports.h"
#include "driver/ChannelManager.h"
#include "host/HostInterface.h"
#include "host/TagVal.h"
#include "platform/Encoding.h"
#include "platform/Tick.h"
#include "protocol/StationProtocol.h"

using testsupport::Cp949;
using testsupport::DeliveredValue;

namespace {

const int kPort = kComProtocol - 1;
const int kDigital = kDigitalTagType;

std::vector<uint32_t> g_sleeps;
void RecordSleep(uint32_t ms) {
    g_sleeps.push_back(ms);
}

// A channel whose scan passes the test runs itself, on its own thread.
class PassChannel : public CChannel {
public:
    using CChannel::ScanPass;
    void SetRunning(int running) { m_bRunning = running; }
};

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Connected());
        ASSERT_TRUE(sim.Ok("reset"));
        ASSERT_TRUE(host.Loaded());
        host.Clear();
        TheManager().EnsureDbmLink();
        channel.SetPort(kPort);
        channel.SetTimeout(300);
    }
    void TearDown() override {
        tick_seam::SetOffset(0);
        tick_seam::SetSleepHook(nullptr);
    }
    // A station of the channel with the given number, on the simulator with status.
    CStationData* AddStation(const char* name, int number, int status = 0,
                             const char* rule = "none") {
        auto* s = new CStationData;
        s->SetName(name);
        s->SetStationNo(number);
        channel.AddStation(s);
        EXPECT_TRUE(
            sim.Ok("add " + std::to_string(number) + " " + std::to_string(status) + " " + rule));
        return s;
    }
    void StartChannel() {
        ASSERT_EQ(channel.Start(), 0);
        host.ClearLog();
    }
    // The channel's log lines of a kind, in UTF-8 without the channel prefix.
    std::vector<std::string> Lines(int kind) {
        std::vector<std::string> out;
        for (const auto& l : host.Lines()) {
            if (l.kind == kind)
                out.push_back(Cp949ToUtf8(l.text).substr(std::string("Krandolix : ").size()));
        }
        return out;
    }
    int Counter(CStationData* s, int which) {
        int c[4];
        s->GetStatus(&c[0], &c[1], &c[2], &c[3]);
        return c[which];
    }

    testsupport::SimControl sim{kComProtocol};
    testsupport::HostRecorder host;
    PassChannel channel;
};

std::string Frame(int station, uint8_t data) {
    char f[8];
    CStationProtocol::BuildFrame(station, data, f);
    return testsupport::ToHex(std::string(f, 8));
}

}  // namespace

TEST(Frames, RequestsAsTheControllerReadsThem) {
    EXPECT_EQ(Frame(1, 0), "02 30 31 30 30 30 33 03");
    EXPECT_EQ(Frame(0, 0), "02 30 30 30 30 30 32 03");
    EXPECT_EQ(Frame(254, 0), "02 3F 3E 30 30 30 33 03");
    EXPECT_EQ(Frame(10, 0x08), "02 30 3A 30 38 30 30 03");
    EXPECT_EQ(Frame(1, 0x80), "02 30 31 38 30 30 3B 03");
}

TEST_F(Engine, AValidReplyPushesEveryInputBit) {
    CStationData* s = AddStation("P31", 31, 0xA5);
    StartChannel();
    for (int bit = 0; bit < 8; ++bit) {
        std::string address = "I" + std::to_string(bit);
        ASSERT_EQ(s->RegisterTag(address.c_str(), kDigital, 0, 100 + bit), bit);
    }
    ASSERT_EQ(s->RegisterTag("O1", kDigital, 0, 200), 8);
    s->GetEngine().Poll();
    for (int bit = 0; bit < 8; ++bit) {
        DeliveredValue v{};
        ASSERT_TRUE(host.Read(100 + bit, &v)) << bit;
        EXPECT_EQ(v.value, (0xA5 >> bit) & 1 ? 1.0 : 0.0) << bit;
    }
    DeliveredValue out{};
    EXPECT_FALSE(host.Read(200, &out) && out.updates > 0);
    EXPECT_EQ(Counter(s, 2), 1);
    EXPECT_TRUE(Lines(kLogFault).empty());
}

TEST_F(Engine, NoiseAndBrokenFramesBeforeTheReplyAreSkipped) {
    CStationData* s = AddStation("P1", 1, 0x01);
    StartChannel();
    s->RegisterTag("I0", kDigital, 0, 1);
    for (const char* fault : {"garbage", "restart"}) {
        ASSERT_TRUE(sim.Ok(std::string("fault 1 clear")));
        ASSERT_TRUE(sim.Ok(std::string("fault 1 ") + fault + " on"));
        ASSERT_EQ(s->GetEngine().Receive(), 0);  // nothing was asked: times out
        host.ClearLog();
        s->GetEngine().Poll();
        int c[4];
        EXPECT_EQ(s->GetStatus(&c[0], &c[1], &c[2], &c[3]), 0) << fault;
        EXPECT_TRUE(Lines(kLogFault).empty()) << fault;
    }
}

TEST_F(Engine, AWrongCheckCharacterIsReportedOnceAndALaterGoodFrameCounts) {
    CStationData* s = AddStation("P1", 1, 0x01);
    StartChannel();
    s->RegisterTag("I0", kDigital, 0, 1);
    ASSERT_TRUE(sim.Ok("fault 1 badthengood on"));
    s->GetEngine().Poll();
    EXPECT_EQ(Lines(kLogFault), std::vector<std::string>{"P1 스테이션 (1) : Check-Sum 오류"});
    DeliveredValue v{};
    ASSERT_TRUE(host.Read(1, &v));
    EXPECT_EQ(v.value, 1.0);
    EXPECT_EQ(Counter(s, 3), 0);

    host.ClearLog();
    ASSERT_TRUE(sim.Ok("fault 1 clear"));
    ASSERT_TRUE(sim.Ok("fault 1 badcheck on"));
    s->GetEngine().Poll();
    EXPECT_EQ(Lines(kLogFault), (std::vector<std::string>{"P1 스테이션 (1) : Check-Sum 오류",
                                                          "P1 스테이션 (1) : 수신 Timeout"}));
    EXPECT_EQ(Counter(s, 3), 1);  // retries 0: the first failure counts
}

TEST_F(Engine, AnotherStationsReplyIsDroppedWithoutAWord) {
    CStationData* s = AddStation("P1", 1, 0x01);
    StartChannel();
    ASSERT_TRUE(sim.Ok("fault 1 wrongstation on"));
    s->GetEngine().Poll();
    EXPECT_EQ(Lines(kLogFault), std::vector<std::string>{"P1 스테이션 (1) : 수신 Timeout"});
}

TEST_F(Engine, RetriesZero) {
    CStationData* s = AddStation("P1", 1);
    StartChannel();
    host.DefineTag(7, Cp949("밸브"));
    ASSERT_EQ(s->RegisterTag("O3", kDigital, 0, 7), 0);
    ASSERT_TRUE(sim.Ok("fault 1 silent on"));

    // one failed poll marks the station faulty at once
    s->GetEngine().Poll();
    int c[4];
    EXPECT_EQ(s->GetStatus(&c[0], &c[1], &c[2], &c[3]), 1);
    EXPECT_EQ(c[3], 1);

    // a control whose single attempt gets no reply: no retry line, no failure
    host.ClearLog();
    CTagVal one(7, 1.0);
    ASSERT_EQ(s->WriteValue(0, one), 0);
    EXPECT_EQ(s->GetEngine().ServeControl(), 1);
    EXPECT_EQ(Lines(kLogProgress),
              std::vector<std::string>{"P1 스테이션 : 제어 실시 (밸브 태그) ..."});
    EXPECT_EQ(Lines(kLogFault), std::vector<std::string>{"P1 스테이션 (1) : 수신 Timeout"});
    EXPECT_EQ(Counter(s, 0), 1);
    EXPECT_EQ(Counter(s, 1), 0);
    EXPECT_EQ(sim.Get(1, "controls"), 1);

    // a control frame the line refuses does count
    host.ClearLog();
    channel.GetLine().Close();
    ASSERT_EQ(s->WriteValue(0, one), 0);
    EXPECT_EQ(s->GetEngine().ServeControl(), 1);
    EXPECT_EQ(Lines(kLogFault),
              std::vector<std::string>{"P1 스테이션 (1) : 송신 오류 : 제어 실패"});
    EXPECT_EQ(Counter(s, 1), 1);
}

TEST_F(Engine, RetriesTwo) {
    channel.SetRetries(2);
    CStationData* s = AddStation("P1", 1);
    StartChannel();
    ASSERT_EQ(s->RegisterTag("O0", kDigital, 0, 7), 0);
    ASSERT_TRUE(sim.Ok("fault 1 silent on"));
    CTagVal v(7, 0.0);

    // three attempts, three time-outs, two retry lines; failures 0 -> 2: not faulty
    s->WriteValue(0, v);
    s->GetEngine().ServeControl();
    EXPECT_EQ(sim.Get(1, "controls"), 3);
    std::vector<std::string> faults = Lines(kLogFault);
    EXPECT_EQ(std::count(faults.begin(), faults.end(), "P1 스테이션 (1) : 수신 Timeout"), 3);
    EXPECT_EQ(std::count(faults.begin(), faults.end(),
                         "P1 스테이션 (1) : 송신 오류 : 제어 실패, 재시도..."),
              2);
    EXPECT_EQ(faults.size(), 5u);
    EXPECT_EQ(s->GetEngine().GetFailCount(), 2);
    EXPECT_EQ(Counter(s, 1), 0);

    // after one failed poll more, the next control goes over the limit
    channel.Start();  // a restart forgets the run of failures
    EXPECT_EQ(s->GetEngine().GetFailCount(), 0);
    s->GetEngine().Poll();
    EXPECT_EQ(Counter(s, 3), 0);  // 1 of 3 allowed
    s->WriteValue(0, v);
    s->GetEngine().ServeControl();
    EXPECT_EQ(Counter(s, 1), 1);
    int c[4];
    EXPECT_EQ(s->GetStatus(&c[0], &c[1], &c[2], &c[3]), 1);

    // a good reply clears the fault
    ASSERT_TRUE(sim.Ok("fault 1 clear"));
    s->GetEngine().Poll();
    EXPECT_EQ(s->GetStatus(&c[0], &c[1], &c[2], &c[3]), 0);
}

TEST_F(Engine, TheWriteQueue) {
    CStationData* s = AddStation("P1", 1, 0, "set");
    StartChannel();
    ASSERT_EQ(s->RegisterTag("O7", kDigital, 0, 1), 0);
    ASSERT_EQ(s->RegisterTag("I7", kDigital, 0, 2), 1);
    CTagVal v(7, 0.0);
    EXPECT_EQ(s->IsWriteDone(0), 1);
    ASSERT_EQ(s->WriteValue(0, v), 0);
    ASSERT_EQ(s->WriteValue(0, CTagVal(7, 42.0)), 0);  // any value sends the same frame
    EXPECT_EQ(s->IsWriteDone(0), 0);
    EXPECT_EQ(s->IsWriteDone(1), 1);
    EXPECT_EQ(s->GetEngine().ServeControl(), 1);
    EXPECT_EQ(s->IsWriteDone(0), 0);  // the second one still waits
    EXPECT_EQ(s->GetEngine().ServeControl(), 1);
    EXPECT_EQ(s->IsWriteDone(0), 1);
    EXPECT_EQ(s->GetEngine().ServeControl(), 0);
    EXPECT_EQ(sim.Get(1, "controls"), 2);
    EXPECT_EQ(sim.Get(1, "status"), 0x80);  // output 7 commanded, input 7 reported
    DeliveredValue in{};
    ASSERT_TRUE(host.Read(2, &in));
    EXPECT_EQ(in.value, 1.0);
    EXPECT_EQ(Lines(kLogProgress),
              (std::vector<std::string>{
                  "P1 스테이션 : 제어 실시 ( 태그) ...", "P1 스테이션 : 제어 성공",
                  "P1 스테이션 : 제어 실시 ( 태그) ...", "P1 스테이션 : 제어 성공"}));

    // inputs cannot be written; a tag that does not exist is refused silently
    host.ClearLog();
    EXPECT_EQ(s->WriteValue(1, v), -1);
    EXPECT_EQ(s->WriteValue(9, v), -1);
    EXPECT_EQ(Lines(kLogFault),
              std::vector<std::string>{"P1 스테이션 (1) : 쓸 수 없는 영역에 쓰기 시도함."});

    // a disabled station takes no writes and is not visited, yet answers IsWriteDone
    ASSERT_EQ(s->WriteValue(0, v), 0);
    s->SetEnabled(0);
    EXPECT_EQ(s->WriteValue(0, v), -1);
    s->ScanStep();
    EXPECT_EQ(s->IsWriteDone(0), 0);
    EXPECT_EQ(sim.Get(1, "controls"), 2);
    EXPECT_EQ(Counter(s, 2), 0);
}

TEST_F(Engine, AVisitServesOneWriteSleeps100AndThenPollsWhenDue) {
    CStationData* s = AddStation("P1", 1);
    s->SetPollPeriod(1000);
    StartChannel();
    ASSERT_EQ(s->RegisterTag("O0", kDigital, 0, 1), 0);
    CTagVal v(7, 1.0);
    s->WriteValue(0, v);
    s->WriteValue(0, v);
    g_sleeps.clear();
    tick_seam::SetSleepHook(&RecordSleep);
    s->ScanStep();  // one write, then the first poll (due at once after the start)
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>{100});
    EXPECT_EQ(sim.Get(1, "controls"), 1);
    EXPECT_EQ(Counter(s, 2), 1);
    s->ScanStep();  // the second write; the poll is not due yet
    EXPECT_EQ(sim.Get(1, "controls"), 2);
    EXPECT_EQ(Counter(s, 2), 1);
}

TEST_F(Engine, PollPeriodsAcrossTheTickWrap) {
    CStationData* s = AddStation("P1", 1);
    s->SetPollPeriod(1000);
    const uint32_t justBelowWrap = 0u - 300u - GetTickMs();
    tick_seam::SetOffset(justBelowWrap);
    StartChannel();
    s->ScanStep();
    EXPECT_EQ(Counter(s, 2), 1);
    tick_seam::SetOffset(justBelowWrap + 500);  // the tick has wrapped: 500 ms later
    s->ScanStep();
    EXPECT_EQ(Counter(s, 2), 1);
    tick_seam::SetOffset(justBelowWrap + 1100);
    s->ScanStep();
    EXPECT_EQ(Counter(s, 2), 2);

    // a period of 0 polls on every visit
    s->SetPollPeriod(0);
    s->ScanStep();
    s->ScanStep();
    EXPECT_EQ(Counter(s, 2), 4);
}

TEST_F(Engine, StoredValuesNoDialogAcceptsRunAsTheNearestSoundOne) {
    channel.SetDelay(-5);
    channel.SetTimeout(0);
    channel.SetRetries(-2);
    CStationData* s = AddStation("P1", 1);
    s->SetPollPeriod(-100);
    ASSERT_EQ(channel.Start(), 0);
    EXPECT_EQ(channel.GetRunDelay(), 0);
    EXPECT_EQ(channel.GetRunTimeout(), 5000);
    EXPECT_EQ(channel.GetRunRetries(), 0);
    EXPECT_EQ(channel.GetLine().GetReadTimeout(), 5000u);
    EXPECT_EQ(
        Lines(kLogFault),
        std::vector<std::string>{"설정 값 보정 : 통신 지연 시간 -5 → 0 mSec., Timeout 0 → 5000 ms, "
                                 "재시도회수 -2 → 0, P1 스테이션 통신 주기 -100 → 0 ms"});
    s->ScanStep();
    s->ScanStep();
    EXPECT_EQ(Counter(s, 2), 2);  // polled on every visit, as a period of 0
}

TEST_F(Engine, APassPausesTheDelayAfterEveryStationThenFifty) {
    CStationData* a = AddStation("P1", 1);
    CStationData* b = AddStation("P2", 2);
    a->SetPollPeriod(100000);
    b->SetPollPeriod(100000);
    channel.SetDelay(7);
    StartChannel();
    channel.SetActive(nullptr, 1);
    channel.SetRunning(1);
    ASSERT_EQ(channel.ScanPass(), 1);  // the first visits poll
    ASSERT_EQ(Counter(a, 2) + Counter(b, 2), 2);
    g_sleeps.clear();
    tick_seam::SetSleepHook(&RecordSleep);
    ASSERT_EQ(channel.ScanPass(), 1);  // nothing is due
    EXPECT_EQ(g_sleeps, (std::vector<uint32_t>{7, 7, 50}));
    // switched off, a pass only waits
    channel.SetActive(nullptr, 0);
    g_sleeps.clear();
    channel.ScanPass();
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>{200});
    channel.SetRunning(0);
}

TEST_F(Engine, TheChannelsSummaryStaysAtFaultWhateverStationFollows) {
    // the faulty station first, a healthy one after it
    CStationData* bad = AddStation("P1", 1);
    CStationData* good = AddStation("P2", 2);
    ASSERT_TRUE(sim.Ok("fault 1 silent on"));
    StartChannel();
    channel.SetActive(nullptr, 1);
    bad->ScanStep();
    good->ScanStep();
    int c[4];
    ASSERT_EQ(bad->GetStatus(&c[0], &c[1], &c[2], &c[3]), 1);
    ASSERT_EQ(good->GetStatus(&c[0], &c[1], &c[2], &c[3]), 0);
    EXPECT_EQ(channel.GetStatus(nullptr, &c[0], &c[1], &c[2], &c[3]), 1);
    // and with the healthy one disabled or the faulty one disabled
    channel.SetActive("P2", 0);
    EXPECT_EQ(channel.GetStatus(nullptr, &c[0], &c[1], &c[2], &c[3]), 1);
    channel.SetActive("P2", 1);
    channel.SetActive("P1", 0);
    EXPECT_EQ(channel.GetStatus(nullptr, &c[0], &c[1], &c[2], &c[3]), 0);
}
