// Links to the host's runtime libraries, bound at run time by file name: the
// tag database (one link shared by all channels) and the message log (one
// link per channel). A link whose library is missing, or lacks its table,
// stays unloaded for its whole life and every call through it does nothing.
#pragma once

#include <cstdint>

#include "host/HostInterface.h"
#include "platform/DynLib.h"

class CString;
class CTagVal;

class CHostLink {
public:
    CHostLink() = default;
    virtual ~CHostLink();
    CHostLink(const CHostLink&) = delete;
    CHostLink& operator=(const CHostLink&) = delete;

    // Loads the library by its bare file name and finds its "FuncTable".
    // A missing library is reported (2000 with the file name); a library
    // without the table is freed again silently.
    LibHandle Load(const char* fileName);
    bool IsLoaded() const { return m_hModule != nullptr; }

protected:
    template <typename F>
    F Entry(int index) const {
        return reinterpret_cast<F>(m_pFuncTable[index]);
    }

    LibHandle m_hModule = nullptr;
    void* const* m_pFuncTable = nullptr;
};

// "ZeravDbm.DLL": tag names for log lines, tag values for the host.
class CDbmLink : public CHostLink {
public:
    CDbmLink();
    // Fills name with the tag's name; leaves it as it was when not loaded.
    void GetTagName(HostTagRef tag, CString* name) const;
    // Hands the host a new value; the host takes it over during the call.
    void SetTagValue(HostTagRef tag, CTagVal* value) const;
};

// "Plovanet.DLL": the channel's log lines.
class CRuntimeLink : public CHostLink {
public:
    CRuntimeLink();
    // kind kLogFault or kLogProgress.
    void PutMessage(int kind, const char* line) const;
};
