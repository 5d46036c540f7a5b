// The gateway's event history in SQLite (WAL): station and channel states,
// writes and station commands with who made them, settings changes and scans,
// the gateway's starts, stops and reloads, the broker's connections, and with
// `values` every value change. Written by a thread of its own through a
// bounded queue: recording never waits, and when the queue is full the event
// is dropped and counted. Old events are removed at the start and once an
// hour, a few thousand at a time. A path that cannot be written or a full
// disk is logged and the gateway goes on without history (tried again once a
// minute); a database removed or replaced under it is noticed within a
// minute and a new one started. One gateway a database (a lock file). The WAL is copied into the
// database by a thread of its own, so a slow disk's fsync never holds the writer's commits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/GatewayConfig.h"
#include "gateway/core/Command.h"

struct sqlite3;

struct HistoryEvent {
    int64_t id = 0;      // given by the database
    int64_t timeMs = 0;  // UTC, ms since 1970
    std::string
        kind;  // station, channel, write, station_command, settings, scan, gateway, broker, value
    std::string channel, station, tag, state;
    std::optional<double> value;
    std::string origin, who, result, detail;  // "" for none
};

// An event's columns after its id and time, in the table's order: each
// named once here for the table, the insert, the select, the API's JSON and
// the CSV. Each is a text ("" stored as NULL), but value, a number.
struct HistoryColumn {
    const char* name;
    std::string HistoryEvent::*text;  // null for value
};
inline constexpr HistoryColumn kHistoryColumns[] = {
    {"kind", &HistoryEvent::kind},       {"channel", &HistoryEvent::channel},
    {"station", &HistoryEvent::station}, {"tag", &HistoryEvent::tag},
    {"state", &HistoryEvent::state},     {"value", nullptr},
    {"origin", &HistoryEvent::origin},   {"who", &HistoryEvent::who},
    {"result", &HistoryEvent::result},   {"detail", &HistoryEvent::detail}};

// The kinds an event may be of: the API's names and the page's words.
enum class HistoryKind {
    station,
    channel,
    write,
    stationCommand,
    settings,
    scan,
    gateway,
    broker,
    value
};
inline constexpr Named<HistoryKind> kHistoryKinds[] = {
    {HistoryKind::station, "station", "스테이션 상태 (station)"},
    {HistoryKind::channel, "channel", "채널 상태 (channel)"},
    {HistoryKind::write, "write", "출력 (write)"},
    {HistoryKind::stationCommand, "station_command", "스테이션 명령 (station command)"},
    {HistoryKind::settings, "settings", "설정 변경 (settings)"},
    {HistoryKind::scan, "scan", "검색 (scan)"},
    {HistoryKind::gateway, "gateway", "게이트웨이 (gateway)"},
    {HistoryKind::broker, "broker", "브로커 (broker)"},
    {HistoryKind::value, "value", "값 (value)"}};
static_assert(InEnumOrder(kHistoryKinds));
constexpr const char* HistoryKindName(HistoryKind kind) {
    return NameIn(kHistoryKinds, kind);
}

// A page of the history, as the API gives it when no limit is asked (and the page asks).
constexpr int kHistoryPage = 100;

struct HistoryQuery {
    std::string channel, station, kind;  // "" for any
    int64_t sinceMs = -1, untilMs = -1;  // inclusive; -1 for no bound
    int64_t before = -1;                 // ids below this one (paging); -1 for none
    int limit = kHistoryPage;
};

// The query that the API's arguments ask for (channel, station, kind,
// since, until, before, limit up to `most`; `argument` gives one, "" when
// absent): false with *refusal saying which and why.
bool HistoryQueryOf(const std::function<std::string(const char*)>& argument, int most,
                    HistoryQuery* query, std::string* refusal);

class History {
public:
    // Events waiting at most (a test may make it smaller: KRANDOLIX_HISTORY_QUEUE).
    static const size_t kQueueLimit = 10000;

    explicit History(HistoryConfig config);
    ~History();  // writes what waits, then stops
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // The database taken for this gateway alone (a lock file beside it):
    // false with *error when another gateway has it. Then Start.
    bool Lock(std::string* error);
    void Start();
    // Any thread; never waits. The time is set here when the event has none.
    void Record(HistoryEvent event);
    const HistoryConfig& Config() const { return m_config; }

    size_t Queued();
    // Events recorded and not yet committed or dropped (queued or being written).
    uint64_t Unwritten() const { return m_unwritten; }
    uint64_t Dropped() const { return m_dropped; }
    bool Working() const { return m_working; }
    // How often the writer has woken (what an idle history should not do).
    uint64_t Passes() const { return m_passes; }
    // The bytes SQLite holds in this process (its page caches, bounded, first of all).
    static int64_t MemoryUsed();

    // Newest first: false with *error when the database cannot be read.
    bool Events(const HistoryQuery& query, std::vector<HistoryEvent>* events, std::string* error);

    // {"id", "time", "kind", ... } of an event, the keys that do not apply null.
    static std::string EventJson(const HistoryEvent& e);

private:
    void Run();
    std::vector<HistoryEvent> Take(std::chrono::steady_clock::time_point until, bool* stopping);
    void Retain();
    // What the queue holds, taken out of it (m_lock held).
    std::vector<HistoryEvent> Drain();
    bool Open(std::string* error);
    bool Write(const std::vector<HistoryEvent>& batch);
    // One step of the removal of old events: true when more remain.
    bool RetainStep();
    void Fail(const std::string& what);
    // The checkpointer's loop: a passive checkpoint each time the writer's
    // commits have grown the WAL past kCheckpointPages.
    void Checkpoints();
    static int Committed(void* history, sqlite3* db, const char* name, int walPages);
    // Whether the path still names the file the writer opened.
    bool SameFile() const;

    HistoryConfig m_config;
    sqlite3* m_db = nullptr;      // the writer's
    sqlite3* m_reader = nullptr;  // queries' (under m_readLock)
    std::mutex m_readLock;
    std::mutex m_lock;  // the queue
    std::condition_variable m_wake;
    std::deque<HistoryEvent> m_queue;
    size_t m_queueLimit = kQueueLimit;
    bool m_stopping = false;
    std::atomic<uint64_t> m_dropped{0};
    std::atomic<bool> m_working{false};
    std::atomic<uint64_t> m_passes{0};
    std::atomic<uint64_t> m_unwritten{0};
    int m_lockFd = -1;
    std::pair<uint64_t, uint64_t> m_file{0, 0};  // the writer's file: device, inode
    // a new database after the old one was removed: the readers open it again
    std::atomic<uint64_t> m_generation{0};
    uint64_t m_readerGeneration = 0;
    std::chrono::milliseconds m_lookEvery{60000};
    std::thread m_thread;
    std::mutex m_checkpointLock;
    std::condition_variable m_checkpointWake;
    bool m_checkpointDue = false, m_checkpointStop = false;
    std::thread m_checkpointer;
};
