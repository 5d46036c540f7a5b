// A gateway channel on its own, with the built driver and a simulator: what
// the watchdog is told about its scan's progress, how its tags map to the
// stations' bits for the Modbus table, and the page's scan of its line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "SimControl.h"
#include "TestSupport.h"
#include "com_ports.h"
#include "config/ConfigData.h"
#include "gateway/channel/GatewayChannel.h"
#include "gateway/channel/ScanJob.h"
#include "host/DriverTable.h"
#include "host/HostSession.h"
#include "platform/Thread.h"

namespace {

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Connected()) << "run through scripts/with-mcsim";
        ASSERT_TRUE(sim.Ok("reset"));
        ASSERT_TRUE(sim.Ok("add 1 0x05"));
        ASSERT_TRUE(sim.Ok("add 2 0x80"));
        ASSERT_TRUE(driver.Loaded());
        CConfigData config;
        config.SetPort(kComGatewayUnit - 1);
        config.SetTimeout(500);
        for (int n : {1, 2}) {
            auto* s = new CStationData;
            s->SetName(n == 1 ? "A" : "B");
            s->SetStationNo(n);
            s->SetPollPeriod(100);
            config.AddStation(s);
        }
        c.configPath = dir.Path("line.cfg");
        ASSERT_EQ(config.Save(c.configPath.c_str()), 0);
        c.name = "Line";
        c.unitId = 1;
    }
    // Ticks for a while as the gateway's loop does, taking the values.
    void Run(GatewayChannel& ch, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            for (const HostEvent& e : HostEvents::Take()) {
                if (e.kind == HostEvent::log && ch.OwnsEvent(e))
                    ch.Log(e.code == kLogFault, e.text);
                else
                    ch.TakeValue(e);
            }
            ch.Tick(Clock::now());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    testsupport::SimControl sim{kComGatewayUnit};
    testsupport::ScratchDir dir;
    DriverTable driver;
    NullSink sink;
    GatewayChannelConfig c;
};

}  // namespace

TEST_F(Channel, TheWatchdogHearsOfProgressOnlyWhileTheCountersMove) {
    HostEvents::Install();
    GatewayChannel ch(driver, c, 0, sink);
    std::string error;
    ASSERT_TRUE(ch.Load(&error)) << error;
    ASSERT_TRUE(ch.Start(&error)) << error;
    Run(ch, 800);
    const Clock::time_point now = Clock::now();
    EXPECT_TRUE(ch.MakesProgress(now));
    // long after the last look that saw the counters move: stalled
    EXPECT_FALSE(ch.MakesProgress(now + std::chrono::minutes(5)));
    // a look then that finds them moved (the stations are polled every 0.1 s) is progress again
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        ch.Tick(now + std::chrono::minutes(5));
        return ch.MakesProgress(now + std::chrono::minutes(5));
    }));
    // nothing is expected of a channel whose stations are all disabled
    ASSERT_TRUE(ch.StationCommand("A", StationAction::disable));
    ASSERT_TRUE(ch.StationCommand("B", StationAction::disable));
    ch.Tick(now + std::chrono::minutes(5));
    EXPECT_TRUE(ch.MakesProgress(now + std::chrono::minutes(60)));
    EXPECT_EQ(ch.State(), ChannelState::off);
    EXPECT_EQ(ch.Stations()[0].last.state, StationHealth::disabled);
    ch.Stop();
}

TEST_F(Channel, ATagListsBitsAreFoundByTheStationTheDriverFinds) {
    HostEvents::Install();
    testsupport::WriteBytes(dir.Path("line.tags"),
                            "a0=x.a:I0\nb7=Line.B:i7\nb.out=Line.B:O3\nbad=Line.Nobody:I1\n"
                            // the driver's own reading of an address, not its second character
                            "b7.zero=Line.B:I07\nb7.blank=Line.B: i 7\nb.plus=Line.B:O+2\n"
                            "a.bare=Line.A:I\nb.nine=Line.B:I9\n");
    c.tagsPath = dir.Path("line.tags");
    GatewayChannel ch(driver, c, 0, sink);
    std::string error;
    ASSERT_TRUE(ch.Load(&error)) << error;
    ASSERT_TRUE(ch.Start(&error)) << error;
    Run(ch, 600);
    EXPECT_EQ(ch.StatusByte(0), 0x01);  // only I0 of A has a tag
    EXPECT_EQ(ch.StatusByte(1), 0x80);
    EXPECT_EQ(ch.OutputTag(1, 3), "b.out");
    EXPECT_EQ(ch.OutputTag(0, 3), "");
    EXPECT_EQ(ch.OutputTag(1, 2), "b.plus");
    struct Place {
        int station, bit;
        bool output;
    };
    auto place = [&](size_t i) {
        Place p{};
        ch.TagPlace(i, &p.station, &p.bit, &p.output);
        return p;
    };
    for (size_t i : {4u, 5u}) {  // I07, " i 7"
        EXPECT_EQ(place(i).station, 1) << i;
        EXPECT_EQ(place(i).bit, 7) << i;
        EXPECT_FALSE(place(i).output) << i;
    }
    EXPECT_TRUE(place(6).output);
    EXPECT_EQ(place(6).bit, 2);
    EXPECT_EQ(place(7).station, 0);  // "I": bit 0
    EXPECT_EQ(place(7).bit, 0);
    EXPECT_EQ(place(8).station, -1);  // I9: the driver refuses it
    EXPECT_LT(ch.Tags()[8].handle, 0);
    CommandTicket ticket;
    EXPECT_EQ(ch.Write("a0", ticket).why, Refusal::notOutput);
    EXPECT_EQ(ch.Write("b.nine", ticket).why, Refusal::notOutput);  // refused by the driver
    EXPECT_EQ(ch.Write("b.out", ticket).result, WriteResult::queued);
    ch.Stop();
}

namespace {

// Keeps the write outcomes it is told.
class Outcomes : public NullSink {
public:
    void OnWriteResult(const std::string&, const std::string& tag, const CommandReply& outcome,
                       const CommandTicket& ticket) override {
        told.push_back({tag, outcome.result, ticket.id});
    }
    struct Told {
        std::string tag;
        WriteResult result;
        uint64_t ticket;
        bool operator==(const Told& o) const {
            return tag == o.tag && result == o.result && ticket == o.ticket;
        }
    };
    std::vector<Told> told;
};

}  // namespace

TEST_F(Channel, EachWritesOutcomeGoesToThatWrite) {
    // A write served by the driver before the gateway looked, and a second one
    // to the same output right after it: each is done by its own answer, not
    // left to time out under the other's name.
    HostEvents::Install();
    Outcomes outcomes;
    GatewayChannel ch(driver, c, 0, outcomes);
    std::string error;
    ASSERT_TRUE(ch.Load(&error)) << error;
    ASSERT_TRUE(ch.Start(&error)) << error;
    Run(ch, 300);
    CommandTicket a, b;
    a.id = 1;
    b.id = 2;
    ASSERT_EQ(ch.Write("A/O1", a).result, WriteResult::queued);
    // no tick meanwhile: only the driver knows A was taken
    const auto bound = Clock::now() + std::chrono::seconds(10);
    while (ch.WriteBusy("A/O1") && Clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(ch.WriteBusy("A/O1"));
    ASSERT_EQ(ch.Write("A/O1", b).result, WriteResult::queued);
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (outcomes.told.size() < 2 && Clock::now() < end) Run(ch, 100);
    EXPECT_EQ(outcomes.told, (std::vector<Outcomes::Told>{{"A/O1", WriteResult::done, 1},
                                                          {"A/O1", WriteResult::done, 2}}));
    EXPECT_EQ(sim.Get(1, "controls"), 2);
    ch.Stop();
}

// done means the controller answered the command: a station that answered
// after a retry is done, a silent one is no_reply (the driver counts no
// control failure then, and that stays), and a stop ends what is left: the
// command being sent no_reply, the one still queued cancelled.
TEST_F(Channel, DoneOnlyWhereTheControllerAnswered) {
    CConfigData config;
    ASSERT_EQ(config.Load(c.configPath.c_str()), 0);
    config.SetRetries(1);
    ASSERT_EQ(config.Save(c.configPath.c_str()), 0);
    HostEvents::Install();
    Outcomes outcomes;
    GatewayChannel ch(driver, c, 0, outcomes);
    std::string error;
    ASSERT_TRUE(ch.Load(&error)) << error;
    ASSERT_TRUE(ch.Start(&error)) << error;
    Run(ch, 300);
    auto awaitTold = [&](size_t n) {
        const auto end = Clock::now() + std::chrono::seconds(15);
        while (outcomes.told.size() < n && Clock::now() < end) Run(ch, 50);
        return outcomes.told.size() >= n;
    };
    CommandTicket t;
    // the first reply spoilt, the retry answered
    ASSERT_TRUE(sim.Ok("fault 1 badthengood on"));
    t.id = 1;
    ASSERT_EQ(ch.Write("A/O1", t).result, WriteResult::queued);
    ASSERT_TRUE(awaitTold(1));
    ASSERT_TRUE(sim.Ok("fault 1 clear"));
    // both attempts unanswered
    ASSERT_TRUE(sim.Ok("fault 2 silent on"));
    t.id = 2;
    ASSERT_EQ(ch.Write("B/O1", t).result, WriteResult::queued);
    ASSERT_TRUE(awaitTold(2));
    EXPECT_EQ(outcomes.told, (std::vector<Outcomes::Told>{{"A/O1", WriteResult::done, 1},
                                                          {"B/O1", WriteResult::noReply, 2}}));
    int32_t counters[4] = {0, 0, 0, 0};
    driver.GetStatus(ch.Handle(), "B", counters);
    EXPECT_EQ(counters[0], 1);  // the command was sent
    // two commands for the silent station, and a stop while the first is out
    t.id = 3;
    ASSERT_EQ(ch.Write("B/O2", t).result, WriteResult::queued);
    t.id = 4;
    ASSERT_EQ(ch.Write("B/O3", t).result, WriteResult::queued);
    const auto taken = Clock::now() + std::chrono::seconds(10);
    while (ch.WriteBusy("B/O2") && Clock::now() < taken)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ch.Stop();
    ASSERT_EQ(outcomes.told.size(), 4u);
    EXPECT_EQ(outcomes.told[2], (Outcomes::Told{"B/O2", WriteResult::noReply, 3}));
    EXPECT_EQ(outcomes.told[3], (Outcomes::Told{"B/O3", WriteResult::cancelled, 4}));
}

// The port is made ready (its RS-485 mode) before the driver opens it, and
// again before each reopen of a line gone silent; a port that cannot be made
// ready keeps its channel from starting, and the channel says fault.
TEST_F(Channel, ThePortIsMadeReadyBeforeItOpensAndBeforeEachReopen) {
    HostEvents::Install();
    std::vector<int> asked;
    bool refuse = false;
    auto prepare = [&](int port, std::string* why) {
        asked.push_back(port);
        if (refuse) *why = "COM34: refuses RS-485 mode";
        return !refuse;
    };
    {
        GatewayChannel ch(driver, c, 0, sink);
        ch.SetPortPreparation(prepare);
        std::string error;
        ASSERT_TRUE(ch.Load(&error)) << error;
        ASSERT_TRUE(ch.Start(&error)) << error;
        EXPECT_EQ(asked, std::vector<int>{kComGatewayUnit});
        Run(ch, 500);
        EXPECT_EQ(asked.size(), 1u);  // a working line is not reopened
        // every station silent: after a second the line is reopened, made ready first
        ASSERT_TRUE(sim.Ok("fault 1 silent on"));
        ASSERT_TRUE(sim.Ok("fault 2 silent on"));
        Run(ch, 3500);
        EXPECT_GE(asked.size(), 2u);
        ch.Stop();
    }
    asked.clear();
    refuse = true;
    GatewayChannel ch(driver, c, 1, sink);
    ch.SetPortPreparation(prepare);
    std::string error;
    ASSERT_TRUE(ch.Load(&error)) << error;
    ASSERT_TRUE(ch.Start(&error)) << error;  // the other channels run on
    EXPECT_TRUE(ch.PortRefused());
    EXPECT_EQ(ch.State(), ChannelState::fault);
    const int polls = sim.Get(1, "polls");
    Run(ch, 500);
    EXPECT_EQ(sim.Get(1, "polls"), polls);  // its port was never opened
    EXPECT_EQ(asked.size(), 1u);
    ch.Stop();
    EXPECT_EQ(ch.State(), ChannelState::off);
}

// The page's scan of a line: what it finds is told as it goes and in full at
// its end, as drvscan prints it; a cancel ends it within one station's wait.
TEST_F(Channel, AScanFindsTheStationsTellsAsItGoesAndEndsWhenCancelled) {
    ASSERT_TRUE(sim.Ok("add 4 0x3C"));
    ASSERT_TRUE(sim.Ok("fault 4 badcheck on"));
    ScanPlan plan;
    plan.line.m_nPort = kComGatewayUnit - 1;
    plan.rates = {6};
    plan.from = 0;
    plan.to = 5;
    // (a station's wait long enough for a simulator on a machine under load)
    plan.timeoutMs = 300;
    {
        ScanJob job("Line", plan, false);
        std::vector<std::string> events;
        for (int i = 0; i < 500 && !job.Ended(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(job.Ended());
        for (std::string& e : job.TakeEvents()) events.push_back(e);
        std::vector<int> answered;
        bool garbled = false, ended = false;
        for (const std::string& e : events) {
            const nlohmann::json j = nlohmann::json::parse(e);
            EXPECT_EQ(j["channel"], "Line");
            if (j["step"] == "answered") answered.push_back(j["number"].get<int>());
            garbled =
                garbled || (j["step"] == "garbled" && j["number"] == 4 && j["reason"] == "check");
            ended = ended || (j["step"] == "end" && j["cancelled"] == false);
        }
        EXPECT_EQ(answered, (std::vector<int>{1, 2}));
        EXPECT_TRUE(garbled);
        EXPECT_TRUE(ended);
        const auto [status, body] = job.Answer();
        EXPECT_EQ(status, 200);
        const nlohmann::json answer = nlohmann::json::parse(body);
        EXPECT_EQ(answer["port"], "COM" + std::to_string(kComGatewayUnit));
        EXPECT_EQ(answer["baud"], 9600);
        ASSERT_EQ(answer["stations"].size(), 2u);
        EXPECT_EQ(answer["stations"][1]["status"], 0x80);
        EXPECT_EQ(answer["garbled"],
                  nlohmann::json::parse(R"([{"number": 4, "reason": "check"}])"));
        EXPECT_EQ(job.Summary(), "done, 2 answered, 1 garbled");
    }
    plan.to = 254;
    plan.timeoutMs = 300;
    ScanJob job("Line", plan, false);
    // cancelled once both stations have answered (however slowly the machine goes)
    int answered = 0;
    for (int i = 0; i < 1000 && answered < 2; ++i) {
        for (const std::string& e : job.TakeEvents())
            answered += nlohmann::json::parse(e)["step"] == "answered";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(answered, 2);
    const auto cancelled = Clock::now();
    job.Cancel();
    for (int i = 0; i < 100 && !job.Ended(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(job.Ended());
    EXPECT_LT(Clock::now() - cancelled, std::chrono::milliseconds(800));
    EXPECT_EQ(nlohmann::json::parse(job.Answer().second)["cancelled"], true);
    EXPECT_EQ(job.Summary().rfind("cancelled, 2 answered", 0), 0u) << job.Summary();
    // a port that cannot be had: said so, not reported as a scan that found nothing
    plan.line.m_nPort = 35;
    ScanJob nowhere("Line", plan, false);
    for (int i = 0; i < 100 && !nowhere.Ended(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(nowhere.Ended());
    EXPECT_EQ(nowhere.Answer().first, 409);
}

// The channel's scan thread is known by its name: threads that other parts
// start meanwhile are never taken for it (their log lines would be put on
// this channel's account).
TEST_F(Channel, OnlyItsOwnScanThreadIsTakenForIt) {
    HostEvents::Install();
    GatewayChannel ch(driver, c, 0, sink);
    std::string error;
    ASSERT_TRUE(ch.Load(&error)) << error;
    std::atomic<bool> busy{true};
    std::thread births([&] {
        while (busy)
            std::thread([] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }).detach();
    });
    ASSERT_TRUE(ch.Start(&error)) << error;
    busy = false;
    births.join();
    ASSERT_EQ(ch.ScanThreads().size(), 1u);
    std::ifstream comm("/proc/self/task/" + std::to_string(ch.ScanThreads()[0]) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, kScanThreadName);
    ch.Stop();
}
