#include "SettingsModel.h"

#include "config/ConfigData.h"
#include "config/LineSettings.h"
#include "config/StationRules.h"
#include "driver_texts.h"
#include "platform/CString.h"
#include "platform/NoCase.h"

CStationWorkList::CStationWorkList() = default;
CStationWorkList::~CStationWorkList() = default;

void CStationWorkList::LoadFrom(const CConfigData& config) {
    for (int i = 0; i < config.GetStationCount(); ++i) Append(*config.GetStationAt(i));
    m_nDelay = config.GetDelay();
    m_nRetries = config.GetRetries();
    m_nTimeoutSec = static_cast<uint32_t>(config.GetTimeout() / 1000);
}

CStationData* CStationWorkList::FindStationByName(const char* name) const {
    for (const auto& s : m_workList) {
        if (SameName(s->GetName(), name)) return s.get();
    }
    return nullptr;
}

CStationData* CStationWorkList::FindStationByNumber(int number) const {
    for (const auto& s : m_workList) {
        if (s->GetStationNo() == number) return s.get();
    }
    return nullptr;
}

CStationData* CStationWorkList::Append(const CStationData& from) {
    auto copy = std::make_unique<CStationData>();
    copy->CopyFrom(from);
    m_workList.push_back(std::move(copy));
    return m_workList.back().get();
}

void CStationWorkList::Remove(CStationData* station) {
    for (auto it = m_workList.begin(); it != m_workList.end(); ++it) {
        if (it->get() == station) {
            m_workList.erase(it);
            return;
        }
    }
}

void CStationWorkList::CommitTo(CConfigData* config) {
    config->RemoveAllStations();
    for (auto& s : m_workList) config->AddStation(s.release());
    m_workList.clear();
    config->SetDelay(m_nDelay);
    config->SetRetries(m_nRetries);
    config->SetTimeout(static_cast<int32_t>(m_nTimeoutSec * 1000u));
}

void CPortChoices::LoadFrom(const CConfigData& c) {
    // what lies outside a list shows nothing chosen
    auto within = [](int v, int count) { return v >= 0 && v < count ? v : -1; };
    m_nBaudRate = within(c.GetBaudRate(), line::kBaudRateCount);
    m_nDataBits = within(c.GetDataBits(), 2);
    m_nParity = within(c.GetParity(), 3);
    m_nPort = within(c.GetPort(), line::kPortCount);
    m_nStopBits = within(c.GetStopBits(), 2);
}

void CPortChoices::CommitTo(CConfigData* c) const {
    c->SetBaudRate(m_nBaudRate);
    c->SetDataBits(m_nDataBits);
    c->SetParity(m_nParity);
    c->SetPort(m_nPort);
    c->SetStopBits(m_nStopBits);
}

int CPortChoices::Check() const {
    if (int id = CheckPort(m_nPort)) return id;
    if (int id = CheckBaudRate(m_nBaudRate)) return id;
    if (int id = CheckParity(m_nParity)) return id;
    if (int id = CheckDataBits(m_nDataBits)) return id;
    return CheckStopBits(m_nStopBits);
}

std::string FormatStationLabel(const CStationData& s) {
    return StrFormat(txt::TXT_STATION_LABEL, s.GetName().GetString(), s.GetStationNo(),
                     s.GetDescription().GetString());
}

std::string FormatRootLabel(const CConfigData& config) {
    CString title = config.GetFileTitle();
    title.MakeUpper();
    return title.Str();
}

std::vector<std::string> PortNames() {
    std::vector<std::string> names;
    for (int i = 0; i < line::kPortCount; ++i) names.push_back(line::PortName(i));
    return names;
}

std::vector<std::string> BaudRateNames() {
    std::vector<std::string> names;
    for (int i = 0; i < line::kBaudRateCount; ++i) names.push_back(line::BaudText(i));
    return names;
}
