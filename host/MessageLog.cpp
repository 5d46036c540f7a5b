// The host's message log stand-in, built as "Plovanet.DLL".
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "HostTables.h"

namespace {

#if !defined(HOSTLIB_NO_TABLE)
#define HOST_ENTRY
#else
#define HOST_ENTRY [[maybe_unused]]
#endif

struct Line {
    int first;
    int kind;
    std::string text;
};

// Drivers may still log from their threads while the process ends, after
// static objects are gone: the log lives on the heap and is never destroyed.
// A host runs for months: the log keeps the most recent lines only (a host
// program that wants every line takes them as they come, LogSetNotify).
const size_t kKeptLines = 10000;

struct Log {
    std::mutex lock;
    std::deque<Line> lines;
    LogNotifyFn notify = nullptr;
    void* context = nullptr;
};
Log& TheLog() {
    static Log* log = new Log;
    return *log;
}

HOST_ENTRY void PutMessage(int first, int kind, const char* line) {
    LogNotifyFn notify;
    void* context;
    std::string text = line ? line : "";
    {
        Log& log = TheLog();
        std::lock_guard<std::mutex> hold(log.lock);
        log.lines.push_back(Line{first, kind, text});
        if (log.lines.size() > kKeptLines) log.lines.pop_front();
        notify = log.notify;
        context = log.context;
    }
    if (notify) notify(context, kind, text.c_str());
}

}  // namespace

extern "C" {

#if !defined(HOSTLIB_NO_TABLE)
HOSTLIB_API void* FuncTable[32] = {};
static const bool g_tableFilled = [] {
    FuncTable[kEntryPutMessage] = reinterpret_cast<void*>(&PutMessage);
    return true;
}();
#endif

HOSTLIB_API int LogCount() {
    Log& log = TheLog();
    std::lock_guard<std::mutex> hold(log.lock);
    return static_cast<int>(log.lines.size());
}

HOSTLIB_API int LogGet(int index, int* first, int* kind, char* text, int size) {
    Log& log = TheLog();
    std::lock_guard<std::mutex> hold(log.lock);
    if (index < 0 || index >= static_cast<int>(log.lines.size())) return 0;
    const Line& l = log.lines[static_cast<size_t>(index)];
    if (first) *first = l.first;
    if (kind) *kind = l.kind;
    if (text && size > 0) {
        size_t n = std::min(l.text.size(), static_cast<size_t>(size - 1));
        std::memcpy(text, l.text.data(), n);
        text[n] = '\0';
    }
    return 1;
}

HOSTLIB_API void LogSetNotify(LogNotifyFn notify, void* context) {
    Log& log = TheLog();
    std::lock_guard<std::mutex> hold(log.lock);
    log.notify = notify;
    log.context = context;
}

HOSTLIB_API void LogClear() {
    Log& log = TheLog();
    std::lock_guard<std::mutex> hold(log.lock);
    log.lines.clear();
}
}
