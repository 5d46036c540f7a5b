#include "StationData.h"

#include "platform/Archive.h"

CRuntimeClass CStationData::classCStationData = {"CStationData", 1, &CStationData::CreateObject,
                                                 nullptr};
static CClassRegistration g_registerStation(&CStationData::classCStationData);

CObject* CStationData::CreateObject() {
    return new CStationData;
}

CStationData::CStationData() = default;
CStationData::~CStationData() = default;

void CStationData::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        m_nVersion = 1;
        ar.WriteInt(m_nVersion);
        ar.WriteInt(m_nStationNo);
        ar.WriteString(m_strName.Str());
        ar.WriteString(m_strDescription.Str());
        ar.WriteInt(m_nPollPeriod);
    } else {
        m_nVersion = ar.ReadInt();
        m_nStationNo = ar.ReadInt();
        m_strName = ar.ReadString();
        m_strDescription = ar.ReadString();
        m_nPollPeriod = ar.ReadInt();
    }
}

void CStationData::CopyFrom(const CStationData& other) {
    m_strDescription = other.m_strDescription;
    m_strName = other.m_strName;
    m_nStationNo = other.m_nStationNo;
    m_nPollPeriod = other.m_nPollPeriod;
}

int CStationData::GetStatus(int* controls, int* controlFails, int* polls, int* pollFails) const {
    if (controls) *controls = m_nControlCount;
    if (controlFails) *controlFails = m_nControlFailCount;
    if (polls) *polls = m_nPollCount;
    if (pollFails) *pollFails = m_nPollFailCount;
    if (!m_bEnabled) return -1;
    return m_bCommError ? 1 : 0;
}

void CStationData::ResetCounters() {
    m_nControlCount = 0;
    m_nControlFailCount = 0;
    m_nPollCount = 0;
    m_nPollFailCount = 0;
}

void CStationData::GetDisplayInfo(CString* number, CString* description) const {
    if (number) number->Format("%03d", static_cast<int>(m_nStationNo));
    if (description) *description = m_strDescription;
}
