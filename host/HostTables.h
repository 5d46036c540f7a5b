// What the host's runtime libraries offer: the tag database "ZeravDbm.DLL"
// and the message log "Plovanet.DLL". Each exports FuncTable, a table of 32
// plain function pointers; a driver calls only the entries below. Besides the
// table each library exports a few functions for the host program itself, to
// name tags, read what drivers delivered and be told of it at once.
//
// Every function may be called from several threads at once.
#pragma once

#include <cstdint>

#include "host/HostInterface.h"

#if defined(_WIN32)
#if defined(HOSTLIB_BUILD)
#define HOSTLIB_API __declspec(dllexport)
#else
#define HOSTLIB_API __declspec(dllimport)
#endif
#else
#define HOSTLIB_API __attribute__((visibility("default")))
#endif

class CString;
class CTagVal;

using PutMessageFn = void (*)(int first, int kind, const char* line);
using SetTagValueFn = void (*)(HostTagRef tag, CTagVal* value);
using GetTagNameFn = void (*)(HostTagRef tag, CString* name);

extern "C" {

// ---- ZeravDbm.DLL: the tag database ----

struct DbmTagState {
    double value;
    uint16_t type;
    uint32_t stampMs;      // tick count of the latest value
    uint32_t updates;      // values delivered so far
    uint32_t nameLookups;  // how often a driver asked for the name
};
using DbmNotifyFn = void (*)(void* context, HostTagRef tag, double value);

// Names a tag (CP949) so that drivers can ask for its name.
HOSTLIB_API void DbmDefineTag(HostTagRef tag, const char* name);
// 1 with the tag's state, 0 for a tag nothing is known of.
HOSTLIB_API int DbmReadTag(HostTagRef tag, DbmTagState* state);
// Called for every value a driver delivers, on the driver's thread.
HOSTLIB_API void DbmSetNotify(DbmNotifyFn notify, void* context);
// Forgets every tag and value.
HOSTLIB_API void DbmReset();

// ---- Plovanet.DLL: the message log ----

using LogNotifyFn = void (*)(void* context, int kind, const char* line);

// The log keeps the 10000 most recent lines.
HOSTLIB_API int LogCount();
// Copies line index (0 = the oldest kept): its first argument, kind and text
// (CP949, cut to size with a terminating zero). 1, or 0 for no such line.
HOSTLIB_API int LogGet(int index, int* first, int* kind, char* text, int size);
HOSTLIB_API void LogSetNotify(LogNotifyFn notify, void* context);
HOSTLIB_API void LogClear();
}
