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

// Drivers may still deliver values from their threads while the process
// ends, after static objects are gone: the database lives on the heap and is
// never destroyed.
struct Database {
    std::mutex lock;
    std::map<HostTagRef, Tag> tags;
    DbmNotifyFn notify = nullptr;
    void* context = nullptr;
};
Database& TheDatabase() {
    static Database* db = new Database;
    return *db;
}

HOST_ENTRY void GetTagName(HostTagRef tag, CString* name) {
    Database& db = TheDatabase();
    std::lock_guard<std::mutex> hold(db.lock);
    Tag& t = db.tags[tag];
    ++t.state.nameLookups;
    if (t.named && name) *name = t.name.c_str();
}

HOST_ENTRY void SetTagValue(HostTagRef tag, CTagVal* value) {
    if (!value) return;
    DbmNotifyFn notify;
    void* context;
    {
        Database& db = TheDatabase();
        std::lock_guard<std::mutex> hold(db.lock);
        Tag& t = db.tags[tag];
        t.state.value = value->GetVal();
        t.state.type = value->GetType();
        t.state.stampMs = GetTickMs();
        ++t.state.updates;
        notify = db.notify;
        context = db.context;
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
    Database& db = TheDatabase();
    std::lock_guard<std::mutex> hold(db.lock);
    db.tags[tag].name = name ? name : "";
    db.tags[tag].named = true;
}

HOSTLIB_API int DbmReadTag(HostTagRef tag, DbmTagState* state) {
    Database& db = TheDatabase();
    std::lock_guard<std::mutex> hold(db.lock);
    auto it = db.tags.find(tag);
    if (it == db.tags.end()) return 0;
    if (state) *state = it->second.state;
    return 1;
}

HOSTLIB_API void DbmSetNotify(DbmNotifyFn notify, void* context) {
    Database& db = TheDatabase();
    std::lock_guard<std::mutex> hold(db.lock);
    db.notify = notify;
    db.context = context;
}

HOSTLIB_API void DbmReset() {
    Database& db = TheDatabase();
    std::lock_guard<std::mutex> hold(db.lock);
    db.tags.clear();
}
}
