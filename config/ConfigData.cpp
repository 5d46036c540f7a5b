#include "ConfigData.h"

#include <new>
#include <string>

#include "host/ZeravError.h"
#include "platform/Archive.h"
#include "platform/File.h"
#include "platform/NoCase.h"

CRuntimeClass CConfigData::classCConfigData = {"CConfigData", 1, &CConfigData::CreateObject,
                                               nullptr};
static CClassRegistration g_registerConfig(&CConfigData::classCConfigData);

CObject* CConfigData::CreateObject() {
    return new CConfigData;
}

CConfigData::CConfigData() : m_header(3) {
    m_header.SetDesc("Krandolix.Dll");
    m_header.m_wFlags = 1;
}

CConfigData::~CConfigData() {
    RemoveAllStations();
}

void CConfigData::Serialize(CArchive& ar) {
    m_header.Serialize(ar);
    ar.RethrowDeferredError();
    if (ar.IsStoring()) {
        ar.WriteCount(static_cast<uint32_t>(m_stationList.size()));
        for (const auto& station : m_stationList) ar.WriteString(station->GetName().Str());
        m_nVersion = kVersion;
        ar.WriteInt(m_nVersion);
        ar.WriteInt(m_nBaudRate);
        ar.WriteInt(m_nDataBits);
        ar.WriteInt(m_nParity);
        ar.WriteInt(m_nPort);
        ar.WriteInt(m_nStopBits);
        ar.WriteInt(m_nDelay);
        ar.WriteInt(m_nTimeout);
        ar.WriteInt(m_nRetries);
        ar.WriteCount(static_cast<uint32_t>(m_stationList.size()));
        for (const auto& station : m_stationList) ar.WriteObject(station.get());
    } else {
        // The names are taken from the station records; this list only has to be readable.
        for (uint32_t n = ar.ReadCount(); n > 0; --n) ar.ReadString();
        m_nVersion = ar.ReadInt();
        m_nBaudRate = ar.ReadInt();
        m_nDataBits = ar.ReadInt();
        m_nParity = ar.ReadInt();
        m_nPort = ar.ReadInt();
        m_nStopBits = ar.ReadInt();
        if (m_nVersion >= 2) {
            m_nDelay = ar.ReadInt();
            m_nTimeout = ar.ReadInt();
            // version 2 kept the time-out in seconds
            if (m_nVersion == 2)
                m_nTimeout = static_cast<int32_t>(static_cast<uint32_t>(m_nTimeout) * 1000u);
        }
        if (m_nVersion >= 3) m_nRetries = ar.ReadInt();
        for (uint32_t n = ar.ReadCount(); n > 0; --n) {
            std::unique_ptr<CObject> object = ar.ReadObject(&CStationData::classCStationData);
            m_stationList.emplace_back(static_cast<CStationData*>(object.release()));
        }
    }
}

namespace {
int FileErrorCode(const CFileException& e) {
    return (e.m_cause == CFileException::fileNotFound || e.m_cause == CFileException::badPath)
               ? CConfigData::errFileMissing
               : CConfigData::errCannotRead;
}
}  // namespace

int CConfigData::Load(const char* path) {
    m_strFileTitle = FileTitleOf(path);
    if (!PathExists(path)) {
        CZeravError::SetErrorString(1, path ? path : "");
        return errFileMissing;
    }
    int check = m_header.OpenCompare(path);
    if (check != 0) return check;

    CDiskFile file;
    CFileException openError;
    if (!file.OpenForReading(path, &openError)) return FileErrorCode(openError);
    return LoadFrom(&file);
}

int CConfigData::LoadFrom(CFile* file) {
    try {
        CArchive ar(file, CArchive::load);
        Serialize(ar);
        ar.Close();
        return 0;
    } catch (const CFileException& e) {
        return FileErrorCode(e);
    } catch (const CArchiveException&) {
        return errBadContents;
    } catch (const std::bad_alloc&) {
        return errBadContents;
    }
}

int CConfigData::Save(const char* path) {
    std::string bytes;
    try {
        CMemFile buffer;
        CArchive ar(&buffer, CArchive::store);
        Serialize(ar);
        ar.Close();
        bytes = buffer.Bytes();
    } catch (const CFileException&) {
        return errCannotWrite;
    } catch (const CArchiveException&) {
        return errNotWritten;
    } catch (const std::bad_alloc&) {
        return errNotWritten;
    }
    return ReplaceFileContents(path, bytes) ? 0 : errCannotWrite;
}

CStationData* CConfigData::GetStationAt(int index) const {
    if (index < 0 || index >= GetStationCount()) return nullptr;
    return m_stationList[static_cast<size_t>(index)].get();
}

CStationData* CConfigData::FindStation(const char* name) const {
    for (const auto& station : m_stationList) {
        if (SameName(station->GetName(), name)) return station.get();
    }
    return nullptr;
}

int CConfigData::FindStationIndex(const char* name) const {
    int index = 0;
    for (const auto& station : m_stationList) {
        if (SameName(station->GetName(), name)) return index;
        ++index;
    }
    return -1;
}

void CConfigData::AddStation(CStationData* station) {
    m_stationList.emplace_back(station);
}

void CConfigData::RemoveAllStations() {
    for (auto& station : m_stationList) station.reset();
    m_stationList.clear();
}
