// The built driver library, loaded as a host loads it from the folder of the
// program, with typed calls to the slots of its entry table. Used by the
// host runner, the tests and the benchmarks.
#pragma once

#include <cstdint>
#include <string>

#include "platform/DynLib.h"

class CString;
class CTagVal;

class DriverTable {
public:
    DriverTable();  // loads the driver beside the program
    ~DriverTable();
    bool Loaded() const { return m_table != nullptr; }
    // Why the driver is not loaded ("" when it is).
    const std::string& Error() const { return m_error; }
    void Unload();
    void* const* Slots() const { return m_table; }

    int32_t Version();
    int32_t Open(const std::string& path);
    int32_t Configure(const std::string& path);
    int32_t Start(int32_t h);
    int32_t StartScan(int32_t h);
    int32_t Stop(int32_t h);
    int32_t Register(int32_t h, const char* device, const char* address, int32_t type,
                     uintptr_t hostTag);
    int32_t Write(int32_t h, int32_t tag, CTagVal* value);
    int32_t IsWriteDone(int32_t h, int32_t tag);
    const char* Description();
    void SetActive(int32_t h, const char* station, int32_t value);
    void ResetCounters(int32_t h, const char* station);
    int32_t GetStatus(int32_t h, const char* station, int32_t counters[4]);
    void GetStationInfo(int32_t h, const char* station, CString* number, CString* description);

private:
    template <typename F>
    F Slot(int n) const {
        return reinterpret_cast<F>(m_table[n]);
    }
    LibHandle m_lib = nullptr;
    void** m_table = nullptr;
    std::string m_error;
};

const char* DriverFileName();
