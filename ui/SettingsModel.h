// What the settings pages edit, apart from their windows: the station page's
// working copies and timing values and the port page's choices. Nothing
// reaches the configuration before CommitTo (the sheet's OK).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CConfigData;
class CStationData;

class CStationWorkList {
public:
    CStationWorkList();
    ~CStationWorkList();
    CStationWorkList(const CStationWorkList&) = delete;
    CStationWorkList& operator=(const CStationWorkList&) = delete;

    // Copies the stations (their four stored values) and the timing values;
    // the time-out is shown in whole seconds (1500 ms shows 1).
    void LoadFrom(const CConfigData& config);
    // The first working copy of that name (ASCII letters without case) or number.
    CStationData* FindStationByName(const char* name) const;
    CStationData* FindStationByNumber(int number) const;
    // Appends a copy of the station's stored values and returns it.
    CStationData* Append(const CStationData& from);
    // Deletes a working copy.
    void Remove(CStationData* station);
    // Replaces the configuration's stations by the working copies, in order,
    // and sets its timing values. The list is empty afterwards.
    void CommitTo(CConfigData* config);
    const std::vector<std::unique_ptr<CStationData>>& Items() const { return m_workList; }

    int32_t m_nDelay = 0;
    int32_t m_nRetries = 0;
    uint32_t m_nTimeoutSec = 0;

private:
    std::vector<std::unique_ptr<CStationData>> m_workList;
};

struct CPortChoices {
    // -1: nothing chosen (a stored value outside its list shows nothing)
    int32_t m_nPort = -1;
    int32_t m_nBaudRate = -1;
    int32_t m_nStopBits = -1;
    int32_t m_nDataBits = -1;
    int32_t m_nParity = -1;

    void LoadFrom(const CConfigData& config);
    void CommitTo(CConfigData* config) const;
    // 0, or the string id of the first list or group with nothing chosen.
    int Check() const;
};

// "NAME (NUMBER) : DESCRIPTION", the station's label in the tree.
std::string FormatStationLabel(const CStationData& station);
// The tree's root: the file title with its ASCII letters in upper case.
std::string FormatRootLabel(const CConfigData& config);
// The lists of the port page, in the order of their stored values.
std::vector<std::string> PortNames();
std::vector<std::string> BaudRateNames();
