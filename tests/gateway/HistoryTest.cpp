// The history on its own: events written by its thread and read back with
// the API's filters, the oldest removed beyond max_rows at the start, and a
// held writer whose full queue drops and counts instead of waiting, and the
// WAL copied into the database beside the writer, a slow disk's fsync holding
// none of its commits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "TestSupport.h"
#include "gateway/history/History.h"

// A slow disk (an SD card's fsync): SQLite's syncs come here, in this
// program, instead of the C library's.
std::atomic<int> g_syncDelayMs{0};
std::atomic<int> g_slowSyncs{0};
extern "C" int fdatasync(int fd) {
    if (const int ms = g_syncDelayMs.load()) {
        ++g_slowSyncs;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

namespace {

// Until every event recorded is committed (or dropped).
bool Settle(History& h) {
    for (int i = 0; i < 1000 && h.Unwritten(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return h.Unwritten() == 0;
}

// Sets an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) { ::setenv(name, value, 1); }
    ~ScopedEnv() { ::unsetenv(m_name); }

private:
    const char* m_name;
};

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

TEST(History, ASlowDisksCheckpointHoldsNoEventBackASecond) {
    testsupport::ScratchDir dir;
    HistoryConfig config;
    config.path = dir.Path("h.db");
    History h(config);
    h.Start();
    // (the database made before the disk slows)
    for (int i = 0; i < 500 && !h.Working(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(h.Working());
    g_syncDelayMs = 600;
    g_slowSyncs = 0;
    using Clock = std::chrono::steady_clock;
    const int bursts = 150, perBurst = 100;
    std::vector<Clock::time_point> recorded(bursts * perBurst);
    std::atomic<int> count{0};
    const auto begun = Clock::now();
    std::thread recorder([&] {
        for (int b = 0; b < bursts; ++b) {
            for (int i = 0; i < perBurst; ++i) {
                HistoryEvent e = Event("value", "P" + std::to_string(i));
                e.detail.assign(500, 'x');  // (some 4 MB in all: past a checkpoint's size)
                recorded[count] = Clock::now();
                h.Record(e);
                ++count;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    // how long each event took to be in the database, as a reader sees it
    double longestMs = 0;
    int64_t seen = 0;
    HistoryQuery newest;
    newest.limit = 1;
    while (seen < bursts * perBurst) {
        std::vector<HistoryEvent> got;
        std::string error;
        ASSERT_TRUE(h.Events(newest, &got, &error)) << error;
        const auto now = Clock::now();
        // (an id's time read once the recorder has counted it)
        const int64_t id = std::min<int64_t>(got.empty() ? 0 : got[0].id, count.load());
        for (; seen < id; ++seen) {
            const auto waited = now - recorded[static_cast<size_t>(seen)];
            longestMs =
                std::max(longestMs, std::chrono::duration<double, std::milli>(waited).count());
        }
        if (Clock::now() - begun > std::chrono::seconds(30)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    recorder.join();
    EXPECT_EQ(seen, bursts * perBurst);
    EXPECT_GT(g_slowSyncs.load(), 0) << "no checkpoint while recording";
    EXPECT_LT(longestMs, 1000) << "an event waited behind a checkpoint";
    std::printf("(the longest wait %.0f ms)\n", longestMs);
    // and the checkpoint did copy the WAL into the database
    struct stat file {};
    for (int i = 0; i < 500 && (::stat(config.path.c_str(), &file) || file.st_size < 2000000); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    g_syncDelayMs = 0;
    EXPECT_GE(file.st_size, 2000000) << "nothing copied out of the WAL";
}

// With nothing to record, the writer sleeps: it wakes for its once-a-minute
// look at the file (here every 50 ms) and for nothing else, however long it
// runs (it used to wait for a time already past, for ever, from its first
// minute on).
TEST(History, AnIdleWriterSleeps) {
    ScopedEnv look("KRANDOLIX_HISTORY_LOOK_MS", "50");
    testsupport::ScratchDir dir;
    HistoryConfig config;
    config.path = dir.Path("h.db");
    History h(config);
    h.Start();
    h.Record(Event("station", "P1"));
    ASSERT_TRUE(Settle(h));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // several looks have passed
    const uint64_t before = h.Passes();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LE(h.Passes() - before, 30u);
    EXPECT_GE(h.Passes() - before, 5u);  // (it does look)
}

// A database removed under the gateway is noticed at the next look: said,
// and a new one started, so that what comes next can be read back.
TEST(History, ADatabaseRemovedUnderItIsNoticedAndStartedAgain) {
    ScopedEnv look("KRANDOLIX_HISTORY_LOOK_MS", "100");
    testsupport::ScratchDir dir;
    HistoryConfig config;
    config.path = dir.Path("h.db");
    History h(config);
    h.Start();
    h.Record(Event("station", "P1"));
    ASSERT_TRUE(Settle(h));
    for (const char* end : {"", "-wal", "-shm"}) ::unlink((config.path + end).c_str());
    std::vector<HistoryEvent> got;
    std::string error;
    struct stat st {};
    for (int i = 0; i < 100 && ::stat(config.path.c_str(), &st) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(::stat(config.path.c_str(), &st), 0) << "no new database";
    h.Record(Event("station", "P2"));
    ASSERT_TRUE(Settle(h));
    ASSERT_TRUE(h.Events(HistoryQuery{}, &got, &error)) << error;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].station, "P2");
    EXPECT_TRUE(h.Working());
}

// Two gateways on one database: the second is refused, saying why.
TEST(History, OneGatewayADatabase) {
    testsupport::ScratchDir dir;
    HistoryConfig config;
    config.path = dir.Path("h.db");
    History first(config), second(config);
    std::string error;
    ASSERT_TRUE(first.Lock(&error)) << error;
    EXPECT_FALSE(second.Lock(&error));
    EXPECT_NE(error.find("another gateway"), std::string::npos) << error;
}

// A history that runs for months holds no more memory than its page caches:
// 60 000 events (some 20 MB of them as rows and indexes), then queries, and
// SQLite's whole count stays within the caches' bounds and what their pages
// cost beyond their size.
TEST(History, ItsMemoryStaysWithinItsPageCaches) {
    testsupport::ScratchDir dir;
    HistoryConfig config;
    config.path = dir.Path("h.db");
    History h(config);
    h.Start();
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 10000; ++i) {
            HistoryEvent e = Event("value", "P" + std::to_string(i % 288));
            e.tag = "P" + std::to_string(i % 288) + "/I" + std::to_string(i % 8);
            e.detail = std::string(200, 'x');
            h.Record(e);
        }
        ASSERT_TRUE(Settle(h));
        std::vector<HistoryEvent> got;
        std::string error;
        HistoryQuery q;
        q.station = "P" + std::to_string(round);
        ASSERT_TRUE(h.Events(q, &got, &error)) << error;
    }
    // 1 MB + 512 KB + 64 KB of pages, each page with its header, and the schema
    EXPECT_LT(History::MemoryUsed(), 2200 * 1024) << History::MemoryUsed();
}
