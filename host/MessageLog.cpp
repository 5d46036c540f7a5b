// The host's message log stand-in, built as "Plovanet.DLL".
#include <algorithm>
#include <cstring>
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

std::mutex g_lock;
std::vector<Line> g_lines;
LogNotifyFn g_notify = nullptr;
void* g_context = nullptr;

HOST_ENTRY void PutMessage(int first, int kind, const char* line) {
    LogNotifyFn notify;
    void* context;
    std::string text = line ? line : "";
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_lines.push_back(Line{first, kind, text});
        notify = g_notify;
        context = g_context;
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
    std::lock_guard<std::mutex> hold(g_lock);
    return static_cast<int>(g_lines.size());
}

HOSTLIB_API int LogGet(int index, int* first, int* kind, char* text, int size) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (index < 0 || index >= static_cast<int>(g_lines.size())) return 0;
    const Line& l = g_lines[static_cast<size_t>(index)];
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
    std::lock_guard<std::mutex> hold(g_lock);
    g_notify = notify;
    g_context = context;
}

HOSTLIB_API void LogClear() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.clear();
}
}
