// The station's runtime role: registration, writes, the scan visit, log lines.
#include "StationData.h"
#include "channel/Channel.h"
#include "driver_texts.h"
#include "platform/CString.h"
#include "platform/Tick.h"

void CStationData::AttachChannel(CChannel* channel) {
    if (m_pChannel != channel) m_pChannel = channel;  // host threads read it meanwhile
    m_engine.Bind(this);
    // due at once: the first visit after a start polls
    m_dwLastPollTick = GetTickMs() - GetRunPollPeriod();
}

int CStationData::RegisterTag(const char* address, int hostType, int reserved, HostTagRef hostTag) {
    CString message;
    std::unique_ptr<CBitTag> tag =
        m_tagTable.ParseAddress(address, hostType, reserved, hostTag, &message);
    if (tag) return m_tagTable.Add(std::move(tag));
    if (m_pChannel) m_pChannel->LogFault(message);
    return -1;
}

void CStationData::ScanStep() {
    if (!m_bEnabled) return;
    if (m_engine.ServeControl()) SleepMs(100);
    uint32_t now = GetTickMs();
    if (now - m_dwLastPollTick < GetRunPollPeriod()) return;
    m_dwLastPollTick = now;
    m_engine.Poll();
}

int CStationData::WriteValue(int tagIndex, const CTagVal& value) {
    if (!m_bEnabled) return -1;
    return m_engine.QueueControl(tagIndex, value);
}

void CStationData::LogFault(const char* text) {
    if (!m_pChannel) return;
    m_pChannel->LogFault(StrFormat(txt::TXT_STATION_FAULT, m_strName.GetString(),
                                   static_cast<int>(m_nStationNo), text)
                             .c_str());
}

void CStationData::LogInfo(const char* text) {
    if (!m_pChannel) return;
    m_pChannel->LogInfo(StrFormat(txt::TXT_STATION_INFO, m_strName.GetString(), text).c_str());
}
