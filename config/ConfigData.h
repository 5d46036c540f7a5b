// A channel's configuration: the serial port settings, the three timing values
// all its stations share, and the ordered station list, with the file they are
// stored in. The channel object is this configuration brought to life.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "StationData.h"

class CFile;
#include "host/ZeravHeader.h"
#include "platform/CString.h"
#include "platform/Object.h"

class CConfigData : public CObject {
public:
    // Results of Load and Save besides 0 and the header check's own codes.
    enum {
        errFileMissing = 2000,
        errCannotWrite = 2001,
        errCannotRead = 2002,
        errBadContents = 2004,
        errNotWritten = 2005,
    };
    static const int kVersion = 3;

    static CRuntimeClass classCConfigData;
    static CObject* CreateObject();

    CConfigData();
    ~CConfigData() override;
    CConfigData(const CConfigData&) = delete;
    CConfigData& operator=(const CConfigData&) = delete;

    const CRuntimeClass* GetRuntimeClass() const override { return &classCConfigData; }
    void Serialize(CArchive& ar) override;

    // Reads the file into this freshly built object: 0 or an error code.
    int Load(const char* path);
    // Reads an opened file (header, names, settings, stations): 0 or an error code.
    int LoadFrom(CFile* file);
    // Writes this object to the file: 0 or an error code. The old file stays
    // whole until the new one is complete.
    int Save(const char* path);

    CStationData* GetStationAt(int index) const;
    CStationData* FindStation(const char* name) const;
    int FindStationIndex(const char* name) const;
    void AddStation(CStationData* station);
    void RemoveAllStations();
    int GetStationCount() const { return static_cast<int>(m_stationList.size()); }
    const std::vector<std::unique_ptr<CStationData>>& Stations() const { return m_stationList; }
    const CString& GetFileTitle() const { return m_strFileTitle; }

    int GetRetries() const { return m_nRetries; }
    void SetRetries(int n) { m_nRetries = n; }
    int GetTimeout() const { return m_nTimeout; }
    void SetTimeout(int ms) { m_nTimeout = ms; }
    int GetDelay() const { return m_nDelay; }
    void SetDelay(int ms) { m_nDelay = ms; }
    int GetParity() const { return m_nParity; }
    void SetParity(int n) { m_nParity = n; }
    int GetStopBits() const { return m_nStopBits; }
    void SetStopBits(int n) { m_nStopBits = n; }
    int GetDataBits() const { return m_nDataBits; }
    void SetDataBits(int n) { m_nDataBits = n; }
    int GetBaudRate() const { return m_nBaudRate; }
    void SetBaudRate(int n) { m_nBaudRate = n; }
    int GetPort() const { return m_nPort; }
    void SetPort(int n) { m_nPort = n; }
    int GetVersion() const { return m_nVersion; }
    const CZeravHeader& GetHeader() const { return m_header; }

protected:
    int32_t m_nRetries = 0;
    int32_t m_nTimeout = 5000;
    int32_t m_nDelay = 0;
    int32_t m_nVersion = 0;
    CZeravHeader m_header;
    CString m_strFileTitle;
    std::vector<std::unique_ptr<CStationData>> m_stationList;
    int32_t m_nParity = 0;
    int32_t m_nStopBits = 0;
    int32_t m_nDataBits = 1;
    int32_t m_nBaudRate = 6;
    int32_t m_nPort = 0;
};
