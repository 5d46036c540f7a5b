#include "HostRecorder.h"

#include "TestSupport.h"
#include "host/HostTables.h"

namespace testsupport {

namespace {
template <typename F>
F Fn(LibHandle lib, const char* name) {
    return reinterpret_cast<F>(FindSymbol(lib, name));
}
}  // namespace

HostRecorder::HostRecorder() {
    m_db = LoadLib((ProgramFolder() + "ZeravDbm.DLL").c_str());
    m_log = LoadLib((ProgramFolder() + "Plovanet.DLL").c_str());
}

HostRecorder::~HostRecorder() {
    FreeLib(m_db);
    FreeLib(m_log);
}

void HostRecorder::DefineTag(uintptr_t tag, const std::string& name) {
    Fn<decltype(&DbmDefineTag)>(m_db, "DbmDefineTag")(tag, name.c_str());
}

bool HostRecorder::Read(uintptr_t tag, DeliveredValue* out) {
    DbmTagState s{};
    if (!Fn<decltype(&DbmReadTag)>(m_db, "DbmReadTag")(tag, &s)) return false;
    *out = DeliveredValue{s.value, s.type, s.updates, s.nameLookups};
    return true;
}

std::vector<LoggedLine> HostRecorder::Lines() {
    std::vector<LoggedLine> out;
    auto count = Fn<decltype(&LogCount)>(m_log, "LogCount");
    auto get = Fn<decltype(&LogGet)>(m_log, "LogGet");
    for (int i = 0, n = count(); i < n; ++i) {
        LoggedLine l{};
        char text[1024];
        if (get(i, &l.first, &l.kind, text, sizeof text)) {
            l.text = text;
            out.push_back(l);
        }
    }
    return out;
}

void HostRecorder::ClearLog() {
    Fn<decltype(&LogClear)>(m_log, "LogClear")();
}

void HostRecorder::Clear() {
    ClearLog();
    Fn<decltype(&DbmReset)>(m_db, "DbmReset")();
}

}  // namespace testsupport
