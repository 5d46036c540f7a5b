#include "HostLink.h"

#include "host/HostInterface.h"
#include "host/ZeravError.h"

namespace {
using PutMessageFn = void (*)(int, int, const char*);
using SetTagValueFn = void (*)(HostTagRef, CTagVal*);
using GetTagNameFn = void (*)(HostTagRef, CString*);
}  // namespace

CHostLink::~CHostLink() {
    if (m_hModule) FreeLib(m_hModule);
}

LibHandle CHostLink::Load(const char* fileName) {
    m_hModule = LoadLib(fileName);
    if (!m_hModule) {
        CZeravError::ErrMsg(kErrLibraryMissing, 1, fileName);
        return nullptr;
    }
    m_pFuncTable = static_cast<void* const*>(FindSymbol(m_hModule, "FuncTable"));
    if (!m_pFuncTable) {
        FreeLib(m_hModule);
        m_hModule = nullptr;
        return nullptr;
    }
    return m_hModule;
}

CDbmLink::CDbmLink() {
    Load("ZeravDbm.DLL");
}

void CDbmLink::GetTagName(HostTagRef tag, CString* name) const {
    if (!m_hModule) return;
    if (auto fn = Entry<GetTagNameFn>(kEntryGetTagName)) fn(tag, name);
}

void CDbmLink::SetTagValue(HostTagRef tag, CTagVal* value) const {
    if (!m_hModule) return;
    if (auto fn = Entry<SetTagValueFn>(kEntrySetTagValue)) fn(tag, value);
}

CRuntimeLink::CRuntimeLink() {
    Load("Plovanet.DLL");
}

void CRuntimeLink::PutMessage(int kind, const char* line) const {
    if (!m_hModule) return;
    if (auto fn = Entry<PutMessageFn>(kEntryPutMessage)) fn(kMessageFirstArgument, kind, line);
}
