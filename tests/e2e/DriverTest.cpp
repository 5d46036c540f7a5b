// The whole driver as a host drives it: the built library loaded through its
// entry table, the stand-in host libraries beside it, and a simulator in
// place of the plant.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
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
#include "platform/CString.h"
#include "platform/Encoding.h"

using testsupport::Cp949;
using testsupport::DeliveredValue;

namespace {

const int kPort = kComE2e - 1;
const int kDigital = kDigitalTagType;

using testsupport::WaitUntil;

void Quiet(int, const char*, int, const char* const*) {}

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        CZeravError::SetHandler(&Quiet);
        ASSERT_TRUE(sim.Connected());
        ASSERT_TRUE(sim.Ok("reset"));
        ASSERT_TRUE(host.Loaded());
        host.Clear();
        ASSERT_TRUE(drv.Loaded());
    }
    void TearDown() override { CZeravError::SetHandler(nullptr); }

    // A configuration on the simulator's port with stations given as name and number.
    std::string Config(const std::vector<std::pair<std::string, int>>& stations, int timeout = 300,
                       int port = kPort) {
        CConfigData config;
        config.SetPort(port);
        config.SetTimeout(timeout);
        for (const auto& st : stations) {
            auto* s = new CStationData;
            s->SetName(st.first.c_str());
            s->SetStationNo(st.second);
            s->SetPollPeriod(100);
            config.AddStation(s);
        }
        std::string path = dir.Path("line" + std::to_string(files++) + ".cfg");
        EXPECT_EQ(config.Save(path.c_str()), 0);
        return path;
    }
    std::vector<std::string> Lines(int kind) {
        std::vector<std::string> out;
        for (const auto& l : host.Lines())
            if (l.kind == kind) out.push_back(Cp949ToUtf8(l.text));
        return out;
    }
    // Opens a one-station channel (P1, number 1, input 0 as tag 5) and sets it scanning.
    int ScanOneStation() {
        sim.Ok("add 1 0x01");
        int h = drv.Open(Config({{"P1", 1}}));
        drv.Register(h, "P1", "I0", kDigital, 5);
        EXPECT_EQ(drv.Start(h), 0);
        drv.StartScan(h);
        drv.SetActive(h, nullptr, 1);
        return h;
    }
    double Value(uintptr_t tag) {
        DeliveredValue v{};
        return host.Read(tag, &v) && v.updates ? v.value : -1;
    }

    testsupport::SimControl sim{kComE2e};
    testsupport::HostRecorder host;
    testsupport::ScratchDir dir;
    DriverTable drv;
    int files = 0;
};

}  // namespace

TEST_F(Driver, ReadsInputsServesAWriteAndReportsStatus) {
    sim.Ok("add 1 0x05 set");
    sim.Ok("add 2 0x80");
    int h = drv.Open(Config({{"P1", 1}, {"P2", 2}}));
    ASSERT_EQ(h, 0);
    host.DefineTag(10, Cp949("펌프1.운전"));
    int32_t i0 = drv.Register(h, "Line1.P1", "I0", kDigital, 11);
    int32_t i1 = drv.Register(h, "Line1.p1", "i1", kDigital, 12);
    int32_t o6 = drv.Register(h, "Line1.P1", "O6", kDigital, 10);
    int32_t p2i7 = drv.Register(h, "P2", "I7", kDigital, 21);
    EXPECT_EQ(i0, 0);
    EXPECT_EQ(i1, 1);
    EXPECT_EQ(o6, 2);
    EXPECT_EQ(p2i7, 1 << 23);

    int32_t counters[4] = {-9, -9, -9, -9};
    EXPECT_EQ(drv.GetStatus(h, nullptr, counters), -1);  // not switched on yet
    ASSERT_EQ(drv.Start(h), 0);
    ASSERT_EQ(drv.StartScan(h), 0);
    CTagVal value(7, 1.0);
    EXPECT_EQ(drv.Write(h, o6, &value), -1);  // not switched on: refused
    drv.SetActive(h, nullptr, 1);

    ASSERT_TRUE(WaitUntil([&] { return Value(11) == 1.0 && Value(21) == 1.0; }));
    EXPECT_EQ(Value(12), 0.0);

    CTagVal text(CTagVal::typeText, 1.0);
    EXPECT_EQ(drv.Write(h, o6, &text), -1);
    EXPECT_EQ(drv.Write(h, i0, &value), -1);
    EXPECT_EQ(drv.Write(h, o6, &value), 0);
    ASSERT_TRUE(WaitUntil([&] { return drv.IsWriteDone(h, o6) == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return sim.Get(1, "status") == 0x45; }));
    ASSERT_TRUE(WaitUntil([&] {
        auto info = Lines(258);
        return std::find(info.begin(), info.end(), "Krandolix : P1 스테이션 : 제어 성공") !=
               info.end();
    }));
    auto info = Lines(258);
    EXPECT_EQ(info.front(), "Krandolix : 포트 초기화 성공");
    EXPECT_NE(std::find(info.begin(), info.end(),
                        "Krandolix : P1 스테이션 : 제어 실시 (펌프1.운전 태그) ..."),
              info.end());

    EXPECT_EQ(drv.GetStatus(h, "p1", counters), 0);
    EXPECT_EQ(counters[0], 1);
    EXPECT_GE(counters[2], 1);
    EXPECT_EQ(drv.GetStatus(h, "nobody", counters), -1);

    // a station that falls silent brings the summary to 1
    sim.Ok("fault 2 silent on");
    ASSERT_TRUE(WaitUntil([&] { return drv.GetStatus(h, nullptr, counters) == 1; }));
    EXPECT_EQ(drv.GetStatus(h, "P2", counters), 1);
    EXPECT_GE(counters[3], 1);
    drv.ResetCounters(h, "P2");
    EXPECT_EQ(drv.GetStatus(h, "P2", counters), 1);  // the fault stays
    EXPECT_LE(counters[3], 1);
    // disabled, it reports -1 and the summary rests on the others
    drv.SetActive(h, "P2", 0);
    ASSERT_TRUE(WaitUntil([&] { return drv.GetStatus(h, nullptr, counters) == 0; }));
    EXPECT_EQ(drv.GetStatus(h, "P2", counters), -1);

    CString number("x"), description("y");
    drv.GetStationInfo(h, "P2", &number, &description);
    EXPECT_STREQ(number, "002");
    drv.GetStationInfo(h, nullptr, &number, &description);
    drv.GetStationInfo(h, "nobody", &number, &description);
    EXPECT_STREQ(number, "002");

    EXPECT_EQ(drv.Stop(h), 0);
    EXPECT_EQ(drv.Stop(h), 0);
    // after a stop the port-ready flag stays: status answers and writes queue
    EXPECT_EQ(drv.GetStatus(h, "P1", counters), 0);
    EXPECT_EQ(drv.Write(h, o6, &value), 0);
    EXPECT_EQ(drv.IsWriteDone(h, o6), 0);
    int controls = sim.Get(1, "controls");
    ASSERT_EQ(drv.Start(h), 0);
    ASSERT_EQ(drv.StartScan(h), 0);
    ASSERT_TRUE(WaitUntil([&] { return drv.IsWriteDone(h, o6) == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return sim.Get(1, "controls") == controls + 1; }));
    EXPECT_EQ(drv.Stop(h), 0);
}

TEST_F(Driver, HandlesThatNameNoChannelOrStation) {
    EXPECT_EQ(drv.Start(0), -1);
    EXPECT_EQ(drv.StartScan(-1), -1);
    EXPECT_EQ(drv.Stop(5), -1);
    EXPECT_EQ(drv.Register(0, "P1", "I0", kDigital, 1), -1);
    CTagVal value(7, 1.0);
    EXPECT_EQ(drv.Write(0, 0, &value), -1);
    EXPECT_EQ(drv.IsWriteDone(0, 0), 0);
    int32_t counters[4] = {7, 7, 7, 7};
    EXPECT_EQ(drv.GetStatus(0, nullptr, counters), -1);
    drv.SetActive(0, nullptr, 1);
    drv.ResetCounters(0, nullptr);
    drv.GetStationInfo(0, "P1", nullptr, nullptr);

    int h = drv.Open(Config({{"P1", 1}}));
    ASSERT_EQ(h, 0);
    EXPECT_EQ(drv.Start(1), -1);                // the number of open channels names none
    EXPECT_EQ(drv.IsWriteDone(h, 5 << 23), 0);  // no station at index 5
    EXPECT_EQ(drv.Register(h, nullptr, "I0", kDigital, 1), -1);
    EXPECT_EQ(drv.Write(h, 0, nullptr), -1);
    EXPECT_EQ(drv.Stop(h), 0);  // without a scan: at once
}

TEST_F(Driver, DeviceNamesAndTagHandles) {
    std::vector<std::pair<std::string, int>> stations = {
        {"st1", 1}, {"Y.Z", 2}, {"", 3}, {"P3", 4}};
    for (int i = 4; i < 300; ++i) stations.push_back({"S" + std::to_string(i), 5});
    int h = drv.Open(Config(stations));
    ASSERT_EQ(h, 0);
    EXPECT_EQ(drv.Register(h, "Line1.ST1", "I0", kDigital, 1), 0);
    EXPECT_EQ(drv.Register(h, "X.Y.Z", "I0", kDigital, 1), 1 << 23);
    EXPECT_EQ(drv.Register(h, "abc.", "I0", kDigital, 1), 2 << 23);
    EXPECT_EQ(drv.Register(h, "Y.Z", "I0", kDigital, 1), -1);  // a name without a dot is used whole
    EXPECT_EQ(drv.Register(h, "nobody", "I0", kDigital, 1), -1);
    for (int i = 0; i < 5; ++i) drv.Register(h, "P3", "O1", kDigital, 1);
    EXPECT_EQ(drv.Register(h, "P3", "O2", kDigital, 1), 0x1800005);
    // positions from 256 set the top bit and still decode as unsigned
    int32_t high = drv.Register(h, "S299", "I0", kDigital, 1);
    EXPECT_EQ(static_cast<uint32_t>(high), 299u << 23);
    EXPECT_LT(high, 0);
    EXPECT_EQ(drv.IsWriteDone(h, high), 1);

    // a refused address logs the tag prefix right after the channel's
    host.ClearLog();
    host.DefineTag(9, Cp949("밸브"));
    EXPECT_EQ(drv.Register(h, "P3", " i9 ", kDigital, 9), -1);
    EXPECT_EQ(Lines(kLogFault),
              std::vector<std::string>{
                  "Krandolix : 밸브 태그 ( i9 ) : 사용되지 않는 입력 어드레스가 지정됨"});
}

TEST_F(Driver, OverlongAndMissingTextsGetTheirAnswersAndBreakNothing) {
    int h = drv.Open(Config({{"P1", 1}}));
    ASSERT_EQ(h, 0);
    const std::string huge(1 << 20, 'x');
    const std::string hugeStation = "Line." + huge;
    EXPECT_EQ(drv.Register(h, hugeStation.c_str(), "I0", kDigital, 1), -1);
    host.ClearLog();
    EXPECT_EQ(drv.Register(h, "P1", huge.c_str(), kDigital, 1), -1);
    ASSERT_EQ(Lines(kLogFault).size(), 1u);  // one line, with the address as passed
    EXPECT_EQ(Lines(kLogFault)[0].rfind("Krandolix :  태그 (xxxxxxxx", 0), 0u);
    EXPECT_EQ(drv.Register(h, "P1", nullptr, kDigital, 1), -1);
    EXPECT_EQ(drv.Register(h, nullptr, nullptr, kDigital, 1), -1);

    drv.SetActive(h, huge.c_str(), 0);
    drv.ResetCounters(h, huge.c_str());
    int32_t counters[4] = {7, 7, 7, 7};
    drv.SetActive(h, nullptr, 1);
    EXPECT_EQ(drv.GetStatus(h, huge.c_str(), counters), 1);  // active, port not open
    CString number("n"), description("d");
    drv.GetStationInfo(h, huge.c_str(), &number, &description);
    EXPECT_STREQ(number, "n");
    EXPECT_EQ(drv.Open(std::string(1 << 16, 'p')), -1);
    EXPECT_EQ(drv.Open(""), -1);
    EXPECT_EQ(drv.Register(h, "P1", "I0", kDigital, 1), 0);  // and the channel works on
}

TEST_F(Driver, StationsBeyondWhatAHandleCanNameAreRefused) {
    std::vector<std::pair<std::string, int>> stations;
    for (int i = 0; i < 513; ++i) stations.push_back({"S" + std::to_string(i), 1});
    int h = drv.Open(Config(stations));
    ASSERT_EQ(h, 0);
    EXPECT_EQ(static_cast<uint32_t>(drv.Register(h, "S511", "I0", kDigital, 1)), 511u << 23);
    host.ClearLog();
    EXPECT_EQ(drv.Register(h, "S512", "I0", kDigital, 1), -1);
    ASSERT_EQ(Lines(kLogFault).size(), 1u);
    EXPECT_NE(Lines(kLogFault)[0].find("태그 핸들로 나타낼 수 없음"), std::string::npos);
}

TEST_F(Driver, APortThatDoesNotOpen) {
    int h = drv.Open(Config({{"P1", 1}}, 300, 30));  // COM31 leads nowhere
    ASSERT_EQ(h, 0);
    EXPECT_EQ(drv.Start(h), -1);
    EXPECT_EQ(Lines(kLogFault), std::vector<std::string>{"Krandolix : COM31 포트 초기화 실패"});
    drv.SetActive(h, nullptr, 1);
    int32_t counters[4];
    EXPECT_EQ(drv.GetStatus(h, nullptr, counters), 1);
    CTagVal value(7, 1.0);
    EXPECT_EQ(drv.Write(h, 0, &value), -1);
    EXPECT_EQ(drv.StartScan(h), 0);
    EXPECT_EQ(drv.Stop(h), 0);
}

TEST_F(Driver, RegisteringTagsWhileTheChannelScans) {
    sim.Ok("add 1 0xFF");
    int h = drv.Open(Config({{"P1", 1}}));
    ASSERT_EQ(drv.Start(h), 0);
    drv.StartScan(h);
    drv.SetActive(h, nullptr, 1);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(drv.Register(h, "P1", i % 2 ? "I3" : "O3", kDigital, 1000 + i), i);
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(WaitUntil([&] { return Value(1299) == 1.0; }));
    drv.Stop(h);
}

TEST_F(Driver, StartAgainWhilePollingWaitsForThePass) {
    int h = ScanOneStation();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(drv.Start(h), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    host.ClearLog();
    int polls = sim.Get(1, "polls");
    ASSERT_TRUE(WaitUntil([&] { return sim.Get(1, "polls") > polls + 3; }));
    for (const auto& line : Lines(kLogFault)) ADD_FAILURE() << line;  // no read error, no time-out
    drv.Stop(h);
}

TEST_F(Driver, UnloadingWithAScanRunningEndsItFirst) {
    ScanOneStation();
    ASSERT_TRUE(WaitUntil([&] { return Value(5) == 1.0; }));
    auto start = std::chrono::steady_clock::now();
    drv.Unload();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    int polls = sim.Get(1, "polls");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(sim.Get(1, "polls"), polls);  // nobody polls any more

    DriverTable again;
    ASSERT_TRUE(again.Loaded());
    EXPECT_EQ(again.Open(Config({{"P1", 1}})), 0);
}
