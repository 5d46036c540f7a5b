#include "gateway/history/History.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>

#include "gateway/core/Command.h"
#include "gateway/core/Journal.h"
#include "platform/Numbers.h"
#include "platform/Tick.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// The table, and its columns as a select names them.
std::string Schema() {
    std::string columns;
    for (const HistoryColumn& c : kHistoryColumns)
        columns += std::string(", ") + c.name + (!c.text ? " REAL" : " TEXT") +
                   (c.text == &HistoryEvent::kind ? " NOT NULL" : "");
    return "CREATE TABLE IF NOT EXISTS events ("
           " id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL" +
           columns +
           ");"
           "CREATE INDEX IF NOT EXISTS events_station ON events (channel, station, id);"
           "CREATE INDEX IF NOT EXISTS events_kind ON events (kind, id);";
}

// ",?" for each column
std::string Placeholders() {
    std::string marks;
    for (size_t i = 0; i < std::size(kHistoryColumns); ++i) marks += ",?";
    return marks;
}

std::string ColumnNames() {
    std::string names;
    for (const HistoryColumn& c : kHistoryColumns) names += std::string(", ") + c.name;
    return names;
}

// Old events go this many at a time: each step a transaction of a few ms.
const int kRetainStep = 2000;
// How long the writer gathers events before it writes them: one transaction
// for a burst, and every event on disk within a fraction of a second.
const auto kGather = std::chrono::milliseconds(200);
// The WAL is copied into the database once it holds this many pages.
const int kCheckpointPages = 1000;

int64_t NowMs() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void BindText(sqlite3_stmt* s, int i, const std::string& text) {
    if (text.empty())
        sqlite3_bind_null(s, i);
    else
        sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

std::string Column(sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? reinterpret_cast<const char*>(t) : "";
}

// A test's hold on the writer: while the file the variable names exists.
bool Held() {
    const std::string hold = GetEnvironmentText("KRANDOLIX_HISTORY_HOLD");
    return !hold.empty() && ::access(hold.c_str(), F_OK) == 0;
}

// Each connection's page cache, in KB: the writer's and the reader's hold the
// table's last pages and the indexes' upper levels; the checkpointer's only
// passes pages through. So the history's memory stays within some 2 MB
// however long the gateway runs (SQLite's default would let each grow to 2 MB).
constexpr int kWriterCacheKb = 1024, kReaderCacheKb = 512, kCheckpointCacheKb = 64;

void SetCacheKb(sqlite3* db, int kb) {
    sqlite3_exec(db, ("PRAGMA cache_size = -" + std::to_string(kb)).c_str(), nullptr, nullptr,
                 nullptr);
}

// Another connection to the writer's database (opened, not created: the
// writer makes it), ready to checkpoint; nullptr when it cannot be opened.
sqlite3* OpenForCheckpoints(const std::string& path) {
    sqlite3* db = nullptr;
    // (a connection learns that the database is in WAL mode on its first read;
    // until then a checkpoint does nothing and says ok)
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    SetCacheKb(db, kCheckpointCacheKb);
    return db;
}

}  // namespace

History::History(HistoryConfig config) : m_config(std::move(config)) {
    long long limit = 0;
    if (ParseWholeNumber(GetEnvironmentText("KRANDOLIX_HISTORY_QUEUE"), 10, 1, kQueueLimit, &limit))
        m_queueLimit = static_cast<size_t>(limit);
    // (a test's minute)
    if (ParseWholeNumber(GetEnvironmentText("KRANDOLIX_HISTORY_LOOK_MS"), 10, 10, 60000, &limit))
        m_lookEvery = std::chrono::milliseconds(limit);
}

History::~History() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    {
        std::lock_guard<std::mutex> hold(m_checkpointLock);
        m_checkpointStop = true;
    }
    m_checkpointWake.notify_all();
    if (m_checkpointer.joinable()) m_checkpointer.join();
    // (the writer's connection last: its close copies what remains in the WAL)
    if (m_reader) sqlite3_close(m_reader);
    if (m_db) sqlite3_close(m_db);
    if (m_lockFd >= 0) ::close(m_lockFd);
}

void History::Start() {
    m_thread = std::thread([this] { Run(); });
    m_checkpointer = std::thread([this] { Checkpoints(); });
}

int History::Committed(void* history, sqlite3*, const char*, int walPages) {
    auto* h = static_cast<History*>(history);
    if (walPages >= kCheckpointPages) {
        std::lock_guard<std::mutex> hold(h->m_checkpointLock);
        h->m_checkpointDue = true;
        h->m_checkpointWake.notify_one();
    }
    return SQLITE_OK;
}

void History::Checkpoints() {
    sqlite3* db = nullptr;
    uint64_t generation = 0;
    std::unique_lock<std::mutex> hold(m_checkpointLock);
    for (;;) {
        m_checkpointWake.wait(hold, [this] { return m_checkpointDue || m_checkpointStop; });
        if (m_checkpointStop) break;
        m_checkpointDue = false;
        hold.unlock();
        if (db && generation != m_generation) {
            sqlite3_close(db);
            db = nullptr;
        }
        generation = m_generation;
        if (!db) db = OpenForCheckpoints(m_config.path);
        // passive: what no reader needs is copied, nobody waits; a failure is
        // tried again at the writer's next commit
        const int rc =
            db ? sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr)
               : SQLITE_OK;
        if (rc != SQLITE_OK && rc != SQLITE_BUSY) {
            sqlite3_close(db);
            db = nullptr;
        }
        hold.lock();
    }
    sqlite3_close(db);
}

void History::Record(HistoryEvent event) {
    if (!event.timeMs) event.timeMs = NowMs();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_queue.size() >= m_queueLimit) {
            ++m_dropped;
            return;
        }
        m_queue.push_back(std::move(event));
        ++m_unwritten;
        // (the writer is woken by the first event of a batch; it gathers the rest)
        if (m_queue.size() > 1) return;
    }
    m_wake.notify_one();
}

size_t History::Queued() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_queue.size();
}

bool History::Open(std::string* error) {
    if (!Lock(error)) return false;
    if (sqlite3_open_v2(m_config.path.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = m_db ? sqlite3_errmsg(m_db) : "cannot open it";
        return false;
    }
    std::string pragmas =
        "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
        "PRAGMA busy_timeout = 1000; PRAGMA cache_size = -" + std::to_string(kWriterCacheKb) + ";";
    // (a test's small disk: the database may not grow beyond this many pages)
    const std::string pages = GetEnvironmentText("KRANDOLIX_HISTORY_MAX_PAGES");
    if (!pages.empty())
        pragmas += "PRAGMA max_page_count = " + std::to_string(std::stoll(pages)) + ";";
    char* message = nullptr;
    if (sqlite3_exec(m_db, (pragmas + Schema()).c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        *error = message ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        return false;
    }
    // checkpoints by the checkpointer, not by the commit that fills the WAL
    // (this hook takes the place of SQLite's own automatic checkpoint)
    sqlite3_wal_hook(m_db, &History::Committed, this);
    struct stat file {};
    if (::stat(m_config.path.c_str(), &file) == 0) m_file = {file.st_dev, file.st_ino};
    return true;
}

void History::Fail(const std::string& what) {
    Journal(kError, "history: " + m_config.path + ": " + what +
                        "; the gateway goes on without history (tried again in a minute)");
    if (m_db) sqlite3_close(m_db);
    m_db = nullptr;
    m_working = false;
}

bool History::Write(const std::vector<HistoryEvent>& batch) {
    sqlite3_stmt* insert = nullptr;
    bool ok = sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(m_db,
                                 ("INSERT INTO events (time" + ColumnNames() + ") VALUES (?" +
                                  Placeholders() + ")")
                                     .c_str(),
                                 -1, &insert, nullptr) == SQLITE_OK;
    for (size_t i = 0; ok && i < batch.size(); ++i) {
        const HistoryEvent& e = batch[i];
        sqlite3_reset(insert);
        sqlite3_bind_int64(insert, 1, e.timeMs);
        int at = 2;
        for (const HistoryColumn& c : kHistoryColumns) {
            if (c.text)
                BindText(insert, at, e.*c.text);
            else if (e.value)
                sqlite3_bind_double(insert, at, *e.value);
            else
                sqlite3_bind_null(insert, at);
            ++at;
        }
        ok = sqlite3_step(insert) == SQLITE_DONE;
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        const std::string why = sqlite3_errmsg(m_db);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_dropped += batch.size();
        Fail("cannot write: " + why);
    }
    return ok;
}

bool History::RetainStep() {
    sqlite3_stmt* s = nullptr;
    const int64_t oldest = NowMs() - static_cast<int64_t>(m_config.days) * 86400000;
    const std::string step = std::to_string(kRetainStep);
    sqlite3_prepare_v2(m_db,
                       // (events are recorded in the order of their times: the old
                       // ones are the first ids, and no index on the time is kept)
                       ("DELETE FROM events WHERE id IN (SELECT id FROM events ORDER BY id LIMIT " +
                        step + ") AND time < ?1")
                           .c_str(),
                       -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, oldest);
    bool more = sqlite3_step(s) == SQLITE_DONE && sqlite3_changes(m_db) > 0;
    sqlite3_finalize(s);
    if (more) return true;
    // beyond max_rows: the ids below the newest max_rows (the ids follow one
    // another: only the oldest are ever removed)
    sqlite3_prepare_v2(m_db, "SELECT max(id) - ?1 FROM events", -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, m_config.maxRows);
    const int64_t cut = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    if (cut <= 0) return false;
    sqlite3_prepare_v2(m_db,
                       ("DELETE FROM events WHERE id IN (SELECT id FROM events WHERE id <= ?1 "
                        "ORDER BY id LIMIT " +
                        step + ")")
                           .c_str(),
                       -1, &s, nullptr);
    sqlite3_bind_int64(s, 1, cut);
    more = sqlite3_step(s) == SQLITE_DONE && sqlite3_changes(m_db) > 0;
    sqlite3_finalize(s);
    return more;
}

// Waits for events (or until `until`), gathers a burst, and takes what waits;
// *stopping when the history is to end.
std::vector<HistoryEvent> History::Take(SteadyClock::time_point until, bool* stopping) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_wake.wait_until(hold, until, [this] { return m_stopping || !m_queue.empty(); });
    // a burst is written in one transaction: what comes within kGather with it
    if (!m_stopping && !m_queue.empty())
        m_wake.wait_for(hold, kGather, [this] { return m_stopping; });
    while (Held() && !m_stopping) {
        hold.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        hold.lock();
    }
    *stopping = m_stopping;
    return Drain();
}

std::vector<HistoryEvent> History::Drain() {
    std::vector<HistoryEvent> events(std::make_move_iterator(m_queue.begin()),
                                     std::make_move_iterator(m_queue.end()));
    m_queue.clear();
    return events;
}

// The old events removed a step at a time, what waits written between the steps.
void History::Retain() {
    int steps = 0;
    double longest = 0;
    for (;;) {
        const auto begun = SteadyClock::now();
        const bool more = m_working && RetainStep();
        longest = std::max(
            longest, std::chrono::duration<double, std::milli>(SteadyClock::now() - begun).count());
        if (!more) break;
        ++steps;
        std::unique_lock<std::mutex> hold(m_lock);
        const std::vector<HistoryEvent> waiting = Drain();
        hold.unlock();
        if (!waiting.empty()) Write(waiting);
        m_unwritten -= waiting.size();
    }
    if (!steps) return;
    char figures[96];
    std::snprintf(figures, sizeof figures, "%d steps of at most %d, the longest %.1f ms", steps,
                  kRetainStep, longest);
    Journal(kInfo, "history: old events removed: " + std::string(figures));
}

bool History::Lock(std::string* error) {
    if (m_lockFd >= 0) return true;
    const std::string path = m_config.path + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return true;  // (a folder it cannot write: the database says so when opened)
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *error = "another gateway keeps its history in " + m_config.path + " (" + path +
                 " is locked): give each gateway a database of its own";
        return false;
    }
    m_lockFd = fd;
    return true;
}

bool History::SameFile() const {
    struct stat now {};
    return ::stat(m_config.path.c_str(), &now) == 0 && now.st_dev == m_file.first &&
           now.st_ino == m_file.second;
}

void History::Run() {
    std::string error;
    m_working = Open(&error);
    if (!m_working) Fail("cannot open: " + error);
    // Once a minute: the database opened again while it cannot be written,
    // and while it is, the file looked at (a database removed or replaced
    // under the gateway would take every event into a file nobody can read).
    auto nextRetain = SteadyClock::now(), nextLook = SteadyClock::now() + m_lookEvery;
    for (bool stopping = false; !stopping;) {
        const std::vector<HistoryEvent> batch = Take(std::min(nextRetain, nextLook), &stopping);
        ++m_passes;
        if (!batch.empty()) {
            if (m_working)
                Write(batch);
            else
                m_dropped += batch.size();
            m_unwritten -= batch.size();
        }
        if (stopping) break;
        const auto now = SteadyClock::now();
        if (now >= nextLook) {
            nextLook = now + m_lookEvery;
            if (m_working && !SameFile()) {
                Journal(kError, "history: " + m_config.path +
                                    " was removed or replaced under the gateway: a new database "
                                    "is started there (the events written since are lost)");
                sqlite3_close(m_db);
                m_db = nullptr;
                ++m_generation;
                m_working = Open(&error);
                if (!m_working) Fail("cannot open: " + error);
            } else if (!m_working) {
                m_working = Open(&error);
                if (m_working)
                    Journal(kInfo, "history: " + m_config.path + ": writing again");
                else
                    Fail("cannot open: " + error);
            }
        }
        if (m_working && now >= nextRetain) {
            nextRetain = now + std::chrono::hours(1);
            Retain();
        }
    }
}

bool History::Events(const HistoryQuery& q, std::vector<HistoryEvent>* events, std::string* error) {
    std::lock_guard<std::mutex> hold(m_readLock);
    if (m_reader && m_readerGeneration != m_generation) {
        sqlite3_close(m_reader);
        m_reader = nullptr;
    }
    m_readerGeneration = m_generation;
    if (!m_reader) {
        if (sqlite3_open_v2(m_config.path.c_str(), &m_reader,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            *error = m_reader ? sqlite3_errmsg(m_reader) : "cannot open it";
            sqlite3_close(m_reader);
            m_reader = nullptr;
            return false;
        }
        sqlite3_busy_timeout(m_reader, 1000);
        SetCacheKb(m_reader, kReaderCacheKb);
    }
    std::string sql = "SELECT id, time" + ColumnNames() + " FROM events WHERE 1";
    if (!q.channel.empty()) sql += " AND channel = ?1";
    if (!q.station.empty()) sql += " AND station = ?2";
    if (!q.kind.empty()) sql += " AND kind = ?3";
    if (q.sinceMs >= 0) sql += " AND time >= ?4";
    if (q.untilMs >= 0) sql += " AND time <= ?5";
    if (q.before >= 0) sql += " AND id < ?6";
    sql += " ORDER BY id DESC LIMIT ?7";
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(m_reader, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(m_reader);
        return false;
    }
    BindText(s, 1, q.channel);
    BindText(s, 2, q.station);
    BindText(s, 3, q.kind);
    sqlite3_bind_int64(s, 4, q.sinceMs);
    sqlite3_bind_int64(s, 5, q.untilMs);
    sqlite3_bind_int64(s, 6, q.before);
    sqlite3_bind_int(s, 7, q.limit);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        HistoryEvent e;
        e.id = sqlite3_column_int64(s, 0);
        e.timeMs = sqlite3_column_int64(s, 1);
        int at = 2;
        for (const HistoryColumn& c : kHistoryColumns) {
            if (c.text)
                e.*c.text = Column(s, at);
            else if (sqlite3_column_type(s, at) != SQLITE_NULL)
                e.value = sqlite3_column_double(s, at);
            ++at;
        }
        events->push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(m_reader);
    sqlite3_finalize(s);
    return rc == SQLITE_DONE;
}

std::string History::EventJson(const HistoryEvent& e) {
    nlohmann::json j = {
        {"id", e.id}, {"time", UtcTimeStampAt(e.timeMs / 1000, static_cast<int>(e.timeMs % 1000))}};
    for (const HistoryColumn& c : kHistoryColumns) {
        if (!c.text)
            j[c.name] = e.value ? nlohmann::json(*e.value) : nlohmann::json();
        else if (c.text == &HistoryEvent::kind || !(e.*c.text).empty())
            j[c.name] = e.*c.text;
        else
            j[c.name] = nullptr;
    }
    return JsonText(j);
}

int64_t History::MemoryUsed() {
    return sqlite3_memory_used();
}
