// Faults on the line, provoked through a simulator, with the
// driver driven through its table: nothing crashes, the counters and fault
// flags say what happened, every write leaves the queue exactly once, and
// the channel recovers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HostRecorder.h"
#include "SimControl.h"
#include "TestSupport.h"
#include "com_ports.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"
#include "host/HostInterface.h"
#include "host/TagVal.h"
#include "host/ZeravError.h"
#include "platform/Encoding.h"

using testsupport::WaitUntil;

namespace {

const int kDigital = kDigitalTagType;
void Quiet(int, const char*, int, const char* const*) {}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        CZeravError::SetHandler(&Quiet);
        ASSERT_TRUE(sim.Connected());
        ASSERT_TRUE(sim.Ok("reset"));
        sim.Ok("add 1 0x01");
        sim.Ok("add 2 0x01");
        ASSERT_TRUE(host.Loaded());
        host.Clear();
        CConfigData config;
        config.SetPort(kComFault - 1);
        config.SetTimeout(300);
        config.SetRetries(1);
        for (int n : {1, 2}) {
            auto* s = new CStationData;
            s->SetName(("P" + std::to_string(n)).c_str());
            s->SetStationNo(n);
            s->SetPollPeriod(50);
            config.AddStation(s);
        }
        std::string path = dir.Path("faults.cfg");
        ASSERT_EQ(config.Save(path.c_str()), 0);
        h = drv.Open(path);
        ASSERT_EQ(h, 0);
        out1 = drv.Register(h, "P1", "O1", kDigital, 12);
        drv.Register(h, "P1", "I0", kDigital, 11);
        drv.Register(h, "P2", "I0", kDigital, 21);
        ASSERT_EQ(drv.Start(h), 0);
        drv.StartScan(h);
        drv.SetActive(h, nullptr, 1);
        ASSERT_TRUE(WaitUntil([&] { return Updates(11) > 0 && Updates(21) > 0; }));
    }
    void TearDown() override {
        drv.Stop(h);
        CZeravError::SetHandler(nullptr);
    }
    int Status(const char* station, int32_t counters[4] = nullptr) {
        int32_t c[4];
        return drv.GetStatus(h, station, counters ? counters : c);
    }
    unsigned Updates(uintptr_t tag) {
        testsupport::DeliveredValue v{};
        return host.Read(tag, &v) ? v.updates : 0;
    }
    int Count(const std::string& text) {
        int n = 0;
        for (const auto& l : host.Lines()) n += Cp949ToUtf8(l.text).find(text) != std::string::npos;
        return n;
    }
    // The station stays good while it answers through the fault.
    void ExpectGoodThrough(const std::string& fault) {
        sim.Ok("fault 1 " + fault);
        host.ClearLog();
        unsigned before = Updates(11);
        ASSERT_TRUE(WaitUntil([&] { return Updates(11) >= before + 5; })) << fault;
        EXPECT_EQ(Status("P1"), 0) << fault;
        EXPECT_EQ(Count("P1 스테이션 (1)"), 0) << fault;
    }

    testsupport::SimControl sim{kComFault};
    testsupport::HostRecorder host;
    testsupport::ScratchDir dir;
    DriverTable drv;
    int h = -1;
    int32_t out1 = -1;
};

}  // namespace

TEST_F(Faults, AStationThatFallsSilentIsCountedAndComesBack) {
    sim.Ok("fault 1 silent on");
    int32_t c[4];
    ASSERT_TRUE(WaitUntil([&] { return Status("P1", c) == 1; }));
    EXPECT_GE(c[3], 1);
    EXPECT_GE(Count("P1 스테이션 (1) : 수신 Timeout"),
              2);                // retries 1: two failed polls make one failure
    EXPECT_EQ(Status("P2"), 0);  // the others go on
    unsigned p2 = Updates(21);
    ASSERT_TRUE(WaitUntil([&] { return Updates(21) > p2 + 2; }));

    sim.Ok("fault 1 silent off");
    ASSERT_TRUE(WaitUntil([&] { return Status("P1") == 0; }));
    unsigned p1 = Updates(11);
    ASSERT_TRUE(WaitUntil([&] { return Updates(11) > p1; }));
}

TEST_F(Faults, NoiseAndRepliesInPiecesWithinTheTimeOutAreRead) {
    ExpectGoodThrough("garbage on");
    sim.Ok("fault 1 clear");
    ExpectGoodThrough("restart on");
    sim.Ok("fault 1 clear");
    ExpectGoodThrough("split 40");  // the reply in three pieces, 80 ms in all
}

TEST_F(Faults, CorruptedCheckCharactersAndSlowPiecesFail) {
    sim.Ok("fault 1 badcheck on");
    ASSERT_TRUE(WaitUntil([&] { return Status("P1") == 1; }));
    EXPECT_GE(Count("P1 스테이션 (1) : Check-Sum 오류"), 2);

    sim.Ok("fault 1 clear");
    ASSERT_TRUE(WaitUntil([&] { return Status("P1") == 0; }));
    sim.Ok("fault 1 split 250");  // 500 ms in all: past the 300 ms reply time
    int32_t before[4], after[4];
    Status("P1", before);
    ASSERT_TRUE(WaitUntil([&] { return Status("P1", after) == 1 && after[3] > before[3]; }));
}

TEST_F(Faults, AReplyFromAnotherStationIsNotTakenForThisOne) {
    sim.Ok("fault 1 wrongstation on");
    host.ClearLog();
    ASSERT_TRUE(WaitUntil([&] { return Status("P1") == 1; }));
    EXPECT_EQ(Count("Check-Sum"), 0);
    EXPECT_GE(Count("P1 스테이션 (1) : 수신 Timeout"), 2);
}

TEST_F(Faults, EveryWriteLeavesTheQueueOnce) {
    CTagVal value(7, 1.0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(drv.Write(h, out1, &value), 0);
    ASSERT_TRUE(WaitUntil([&] { return drv.IsWriteDone(h, out1) == 1; }));
    int32_t c[4];
    ASSERT_TRUE(WaitUntil([&] { return Status("P1", c) == 0 && c[0] == 5; }));
    EXPECT_EQ(sim.Get(1, "controls"), 5);

    // a silent station: the write is tried retries + 1 times, taken once
    sim.Ok("fault 1 silent on");
    ASSERT_EQ(drv.Write(h, out1, &value), 0);
    ASSERT_TRUE(WaitUntil([&] { return sim.Get(1, "controls") == 7; }));
    ASSERT_TRUE(WaitUntil([&] { return drv.IsWriteDone(h, out1) == 1; }));
    Status("P1", c);
    EXPECT_EQ(c[0], 6);
    EXPECT_GE(Count("P1 스테이션 (1) : 송신 오류 : 제어 실패, 재시도..."), 1);
}

TEST_F(Faults, ALineThatGoesDeadIsReportedAndRecoversAtTheNextStart) {
    std::string reply = sim.Send("hangup");
    ASSERT_EQ(reply.rfind("ok pty", 0), 0u) << reply;
    ASSERT_TRUE(WaitUntil([&] { return Status("P1") == 1 && Status("P2") == 1; }));
    EXPECT_GE(Count("수신 오류") + Count("송신 오류"), 1);
    CTagVal value(7, 1.0);
    ASSERT_EQ(drv.Write(h, out1, &value), 0);  // still taken

    ASSERT_EQ(drv.Start(h), 0);  // reopens the port, now the new pseudo-terminal
    ASSERT_TRUE(WaitUntil([&] { return Status("P1") == 0 && Status("P2") == 0; }));
    unsigned before = Updates(11);
    ASSERT_TRUE(WaitUntil([&] { return Updates(11) > before; }));
}
