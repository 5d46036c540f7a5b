// The history on its own: events written by its thread and read back with
// the API's filters, the oldest removed beyond max_rows at the start, and a
// held writer whose full queue drops and counts instead of waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "TestSupport.h"
#include "gateway/History.h"

namespace {

bool Settle(History& h) {
    for (int i = 0; i < 300 && h.Queued(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // (the last batch committed)
    return h.Queued() == 0;
}

HistoryEvent Event(const std::string& kind, const std::string& station, int64_t timeMs = 0) {
    HistoryEvent e;
    e.kind = kind;
    e.channel = "Line1";
    e.station = station;
    e.timeMs = timeMs;
    return e;
}

}  // namespace

TEST(History, WrittenByItsThreadAndReadBackFiltered) {
    testsupport::ScratchDir dir;
    HistoryConfig config;
    config.path = dir.Path("h.db");
    History h(config);
    h.Start();
    h.Record(Event("station", "P1"));
    HistoryEvent write = Event("write", "P2");
    write.tag = "P2/O1";
    write.origin = "web";
    write.who = "ada@10.0.0.5";
    write.result = "done";
    h.Record(write);
    HistoryEvent value = Event("value", "P2");
    value.value = 1;
    h.Record(value);
    ASSERT_TRUE(Settle(h));
    EXPECT_TRUE(h.Working());
    std::vector<HistoryEvent> got;
    std::string error;
    ASSERT_TRUE(h.Events(HistoryQuery{}, &got, &error)) << error;
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, "value");  // newest first
    EXPECT_GT(got[0].id, got[2].id);
    HistoryQuery q;
    q.station = "P2";
    q.kind = "write";
    got.clear();
    ASSERT_TRUE(h.Events(q, &got, &error));
    ASSERT_EQ(got.size(), 1u);
    const nlohmann::json j = nlohmann::json::parse(History::EventJson(got[0]));
    EXPECT_EQ(j["who"], "ada@10.0.0.5");
    EXPECT_TRUE(j["value"].is_null());
    EXPECT_TRUE(j["detail"].is_null());
    EXPECT_EQ(j.size(), 12u);
    q = HistoryQuery{};
    q.before = got[0].id;
    got.clear();
    ASSERT_TRUE(h.Events(q, &got, &error));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, "station");
}

TEST(History, TheOldestGoBeyondMaxRowsAndOldEventsAfterTheirDays) {
    testsupport::ScratchDir dir;
    HistoryConfig config;
    config.path = dir.Path("h.db");
    config.maxRows = 10;
    config.days = 1;
    {
        History h(config);
        h.Start();
        h.Record(Event("gateway", "", 1000));  // 1970: long out of its days
        for (int i = 0; i < 4999; ++i) h.Record(Event("value", "P" + std::to_string(i)));
        ASSERT_TRUE(Settle(h));
    }
    History again(config);  // (removed at the start)
    again.Start();
    std::vector<HistoryEvent> got;
    std::string error;
    HistoryQuery q;
    q.limit = 1000;
    for (int i = 0; i < 500; ++i) {
        got.clear();
        ASSERT_TRUE(again.Events(q, &got, &error)) << error;
        if (got.size() <= 10) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(got.size(), 10u);
    EXPECT_EQ(got.front().station, "P4998");
    EXPECT_EQ(got.back().station, "P4989");
}

TEST(History, AHeldWritersFullQueueDropsAndCounts) {
    testsupport::ScratchDir dir;
    const std::string hold = dir.Path("hold");
    std::ofstream(hold).close();
    ::setenv("KRANDOLIX_HISTORY_HOLD", hold.c_str(), 1);
    ::setenv("KRANDOLIX_HISTORY_QUEUE", "5", 1);
    HistoryConfig config;
    config.path = dir.Path("h.db");
    History h(config);
    ::unsetenv("KRANDOLIX_HISTORY_QUEUE");
    h.Start();
    const auto begun = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i) h.Record(Event("value", "P" + std::to_string(i)));
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(100));
    EXPECT_EQ(h.Queued(), 5u);
    EXPECT_EQ(h.Dropped(), 3u);
    std::remove(hold.c_str());
    ::unsetenv("KRANDOLIX_HISTORY_HOLD");
    ASSERT_TRUE(Settle(h));
    std::vector<HistoryEvent> got;
    std::string error;
    ASSERT_TRUE(h.Events(HistoryQuery{}, &got, &error));
    EXPECT_EQ(got.size(), 5u);
    EXPECT_EQ(got.front().station, "P4");
}
