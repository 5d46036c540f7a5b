#include "host/DriverTable.h"

#include "platform/DynLib.h"
#include "platform/File.h"

const char* DriverFileName() {
#if defined(_WIN32)
    return "Krandolix.dll";
#else
    return "Krandolix.so";
#endif
}

DriverTable::DriverTable() {
    std::string path = std::string(OwnModuleFolder()) + DriverFileName();
    // an installed package keeps the programs in bin/ and the driver, with the
    // stand-ins for the host's libraries, in lib/krandolix/
    const std::string installed = std::string(OwnModuleFolder()) + "../lib/krandolix/" + DriverFileName();
    if (!PathExists(path.c_str()) && PathExists(installed.c_str())) path = installed;
    m_lib = LoadLib(path.c_str());
    if (!m_lib) {
        m_error = "cannot load " + path;
        return;
    }
    m_table = static_cast<void**>(FindSymbol(m_lib, "DrvFuncTable"));
    if (!m_table) m_error = "the driver exports no DrvFuncTable";
}

DriverTable::~DriverTable() {
    Unload();
}

void DriverTable::Unload() {
    FreeLib(m_lib);
    m_lib = nullptr;
    m_table = nullptr;
}

int32_t DriverTable::Version() {
    return Slot<int32_t (*)()>(0)();
}
int32_t DriverTable::Open(const std::string& path) {
    return Slot<int32_t (*)(const char*)>(1)(path.c_str());
}
int32_t DriverTable::Configure(const std::string& path) {
    return Slot<int32_t (*)(const char*)>(2)(path.c_str());
}
int32_t DriverTable::Start(int32_t h) {
    return Slot<int32_t (*)(int32_t)>(3)(h);
}
int32_t DriverTable::StartScan(int32_t h) {
    return Slot<int32_t (*)(int32_t)>(4)(h);
}
int32_t DriverTable::Stop(int32_t h) {
    return Slot<int32_t (*)(int32_t)>(5)(h);
}
int32_t DriverTable::Register(int32_t h, const char* device, const char* address, int32_t type,
                              uintptr_t hostTag) {
    return Slot<int32_t (*)(int32_t, const char*, const char*, int32_t, int32_t, uintptr_t)>(6)(
        h, device, address, type, 0, hostTag);
}
int32_t DriverTable::Write(int32_t h, int32_t tag, CTagVal* value) {
    return Slot<int32_t (*)(int32_t, int32_t, CTagVal*)>(7)(h, tag, value);
}
int32_t DriverTable::IsWriteDone(int32_t h, int32_t tag) {
    return Slot<int32_t (*)(int32_t, int32_t)>(8)(h, tag);
}
const char* DriverTable::Description() {
    return Slot<const char* (*)()>(12)();
}
void DriverTable::SetActive(int32_t h, const char* station, int32_t value) {
    Slot<void (*)(int32_t, const char*, int32_t)>(13)(h, station, value);
}
void DriverTable::ResetCounters(int32_t h, const char* station) {
    Slot<void (*)(int32_t, const char*)>(14)(h, station);
}
int32_t DriverTable::GetStatus(int32_t h, const char* station, int32_t counters[4]) {
    return Slot<int32_t (*)(int32_t, const char*, int32_t*, int32_t*, int32_t*, int32_t*)>(15)(
        h, station, &counters[0], &counters[1], &counters[2], &counters[3]);
}
void DriverTable::GetStationInfo(int32_t h, const char* station, CString* number,
                                 CString* description) {
    Slot<void (*)(int32_t, const char*, CString*, CString*)>(16)(h, station, number, description);
}
