// The host's tag database stand-in, built as "ZeravDbm.DLL".
#include <map>
#include <mutex>
#include <string>

#include "HostTables.h"
#include "TagVal.h"
#include "platform/CString.h"
#include "platform/Tick.h"

namespace {

#if !defined(HOSTLIB_NO_TABLE)
#define HOST_ENTRY
#else
#define HOST_ENTRY [[maybe_unused]]
#endif

struct Tag {
    std::string name;
    bool named = false;
    DbmTagState state{};
};

std::mutex g_lock;
std::map<HostTagRef, Tag> g_tags;
DbmNotifyFn g_notify = nullptr;
void* g_context = nullptr;

HOST_ENTRY void GetTagName(HostTagRef tag, CString* name) {
    std::lock_guard<std::mutex> hold(g_lock);
    Tag& t = g_tags[tag];
    ++t.state.nameLookups;
    if (t.named && name) *name = t.name.c_str();
}

HOST_ENTRY void SetTagValue(HostTagRef tag, CTagVal* value) {
    if (!value) return;
    DbmNotifyFn notify;
    void* context;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        Tag& t = g_tags[tag];
        t.state.value = value->GetVal();
        t.state.type = value->GetType();
        t.state.stampMs = GetTickMs();
        ++t.state.updates;
        notify = g_notify;
        context = g_context;
    }
    if (notify) notify(context, tag, value->GetVal());
}

}  // namespace

extern "C" {

#if !defined(HOSTLIB_NO_TABLE)
HOSTLIB_API void* FuncTable[32] = {};
static const bool g_tableFilled = [] {
    FuncTable[kEntrySetTagValue] = reinterpret_cast<void*>(&SetTagValue);
    FuncTable[kEntryGetTagName] = reinterpret_cast<void*>(&GetTagName);
    return true;
}();
#endif

HOSTLIB_API void DbmDefineTag(HostTagRef tag, const char* name) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_tags[tag].name = name ? name : "";
    g_tags[tag].named = true;
}

HOSTLIB_API int DbmReadTag(HostTagRef tag, DbmTagState* state) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = g_tags.find(tag);
    if (it == g_tags.end()) return 0;
    if (state) *state = it->second.state;
    return 1;
}

HOSTLIB_API void DbmSetNotify(DbmNotifyFn notify, void* context) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_notify = notify;
    g_context = context;
}

HOSTLIB_API void DbmReset() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_tags.clear();
}
}
