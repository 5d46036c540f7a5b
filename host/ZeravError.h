// Error messages shown to the person at the host. A code names either one of
// this library's own messages (missing file, load and save failures, header
// checks) or a string of a driver's string table; drivers register where their
// strings are found when they are loaded and withdraw it when unloaded.
#pragma once

#include "ZeravSubApi.h"

class CString;

class ZERAVSUB_API CZeravError {
public:
    // Shows the message of code with count insert texts (const char*), which
    // replace %1, %2, ... in the message. With count 0 the inserts recorded by
    // the last SetErrorString are used (and forgotten). Returns code.
    static int ErrMsg(int code, int count, ...);
    // Records insert texts for the message of the error code about to be returned.
    static void SetErrorString(int count, ...);

    // The message text (CP949) of a code with the given inserts filled in.
    static void MessageText(int code, int count, const char* const* inserts, CString* text);

    // Where a driver's string ids are looked up: returns nonzero and fills text
    // when id is one of its strings.
    using StringSource = int (*)(int id, CString* text);
    static void AddStringSource(StringSource source);
    static void RemoveStringSource(StringSource source);

    // A host shows messages its own way by installing a handler; null restores
    // the default (a message box on Windows, a line on standard error elsewhere).
    using Handler = void (*)(int code, const char* text, int count, const char* const* inserts);
    static void SetHandler(Handler handler);
};
