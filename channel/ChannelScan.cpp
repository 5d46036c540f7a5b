// The channel's life: opening the port, the scan thread, stopping, and the
// host's per-channel requests.
#include <cstring>
#include <string>

#include "Channel.h"
#include "driver/ChannelManager.h"
#include "driver_texts.h"
#include "host/TagVal.h"
#include "platform/CString.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

namespace {
const uint32_t kIdleSleepMs = 200;
const uint32_t kPassSleepMs = 50;

// The station name in a device name: what follows its first '.', else all of it.
const char* StationPart(const char* deviceName) {
    const char* dot = std::strchr(deviceName, '.');
    return dot ? dot + 1 : deviceName;
}
}  // namespace

bool CChannel::MakeTagHandle(int station, int tagIndex, int32_t* handle) {
    if (station < 0 || station > 0x1FF || tagIndex < 0 || tagIndex > 0x7FFFFF) return false;
    uint32_t h = (static_cast<uint32_t>(station) << 23) | static_cast<uint32_t>(tagIndex);
    if (h == 0xFFFFFFFFu) return false;
    *handle = static_cast<int32_t>(h);
    return true;
}

void CChannel::AttachStations() {
    for (auto& station : m_stationList) station->AttachChannel(this);
}

void CChannel::LogStoredValueFixes() {
    std::string fixes;
    auto add = [&fixes](const std::string& fix) { fixes += (fixes.empty() ? "" : ", ") + fix; };
    if (m_nDelay < 0) add(StrFormat(txt::TXT_FIX_DELAY, static_cast<int>(m_nDelay)));
    if (m_nTimeout < 1) add(StrFormat(txt::TXT_FIX_TIMEOUT, static_cast<int>(m_nTimeout)));
    if (m_nRetries < 0) add(StrFormat(txt::TXT_FIX_RETRIES, static_cast<int>(m_nRetries)));
    for (auto& station : m_stationList) {
        if (station->GetPollPeriod() < 0) {
            add(StrFormat(txt::TXT_FIX_PERIOD, station->GetName().GetString(),
                          station->GetPollPeriod()));
        }
    }
    if (!fixes.empty()) LogFault(StrFormat(txt::TXT_SETTINGS_FIXED, fixes.c_str()).c_str());
}

int CChannel::Start() {
    // a pass in progress keeps the line until it ends; then the port is ours
    std::lock_guard<std::mutex> pass(m_passLock);
    m_bPortReady = 0;
    AttachStations();
    LogStoredValueFixes();
    std::string traceError;
    m_trace = OpenFrameTrace(GetFileTitle().Str(), &traceError);
    if (!traceError.empty() && traceError != m_traceFailed) {
        LogFault(StrFormat(txt::TXT_TRACE_FAILED, traceError.c_str()).c_str());
    }
    m_traceFailed = traceError;
    if (!m_line.Open(CLineSettings::Of(*this))) {
        LogFault(StrFormat(txt::TXT_PORT_FAILED, m_nPort + 1).c_str());
        return -1;
    }
    m_line.SetReadTimeout(static_cast<uint32_t>(GetRunTimeout()));
    m_line.SetWriteTimeout(1000);
    m_bPortReady = 1;
    LogInfo(txt::TXT_PORT_OK);
    return 0;
}

int CChannel::StartScan() {
    if (m_bRunning) return 0;
    m_bRunning = 1;
    m_hThread = StartThread(&CChannel::ScanThreadProc, this, kScanThreadName);
    if (!m_hThread) {
        // no thread will ever set the stop event: a later Stop must not wait for it
        m_bRunning = 0;
        LogFault(txt::TXT_THREAD_FAILED);
    }
    return 0;
}

void CChannel::ScanThreadProc(void* p) {
    CChannel* channel = static_cast<CChannel*>(p);
    while (channel->ScanPass()) {
    }
    // the last act: after this the channel may be gone
    channel->m_stopEvent.Set();
}

int CChannel::ScanPass() {
    if (!m_bRunning || !m_bActive || !m_bPortReady) {
        SleepMs(kIdleSleepMs);
        return m_bRunning;
    }
    {
        std::lock_guard<std::mutex> pass(m_passLock);
        const uint32_t delay = static_cast<uint32_t>(GetRunDelay());
        for (auto& station : m_stationList) {
            if (m_bUnloading) break;
            station->ScanStep();
            SleepMs(delay);
        }
    }
    SleepMs(kPassSleepMs);
    return m_bRunning;
}

int CChannel::Stop() {
    if (m_bRunning) {
        m_bRunning = 0;
        m_stopEvent.Lock();
        JoinThread(m_hThread);
        m_hThread = nullptr;
    }
    m_line.Close();
    return 0;
}

void CChannel::BeginUnload() {
    m_bUnloading = 1;
    m_bScanAtUnload = m_bRunning.exchange(0) != 0;
}

bool CChannel::WaitUnloaded(uint32_t timeoutMs) {
    if (m_bScanAtUnload && !m_stopEvent.Lock(timeoutMs)) return false;
    JoinThreadAtUnload(m_hThread);
    m_hThread = nullptr;
    return true;
}

int CChannel::RegisterTag(const char* deviceName, const char* address, int hostType, int reserved,
                          HostTagRef hostTag) {
    if (!deviceName) return -1;
    int position = FindStationIndex(StationPart(deviceName));
    if (position < 0) return -1;
    CStationData* station = GetStationAt(position);
    int32_t handle = 0;
    // refuse what a handle cannot name before the tag exists
    if (!MakeTagHandle(position, station->GetTagTable().GetCount(), &handle)) {
        CString name;
        if (CDbmLink* db = TheDbmLink()) db->GetTagName(hostTag, &name);
        LogFault(StrFormat(txt::TXT_HANDLE_RANGE, name.GetString(), address ? address : "",
                           position, station->GetTagTable().GetCount())
                     .c_str());
        return -1;
    }
    int index = station->RegisterTag(address, hostType, reserved, hostTag);
    if (index < 0) return -1;
    MakeTagHandle(position, index, &handle);
    return handle;
}

int CChannel::WriteTag(uint32_t tagHandle, const CTagVal* value) {
    if (!m_bActive || !m_bPortReady || !value) return -1;
    if (value->GetType() != kValueTypeNumber) return -1;
    CStationData* station = GetStationAt(HandleStation(tagHandle));
    if (!station) return -1;
    return station->WriteValue(HandleTag(tagHandle), *value);
}

int CChannel::IsWriteDone(uint32_t tagHandle) {
    CStationData* station = GetStationAt(HandleStation(tagHandle));
    return station ? station->IsWriteDone(HandleTag(tagHandle)) : 0;
}

void CChannel::SetActive(const char* stationName, int value) {
    if (!stationName) {
        m_bActive = value;
        return;
    }
    if (CStationData* station = FindStation(stationName)) station->SetEnabled(value);
}

void CChannel::ResetCounters(const char* stationName) {
    if (!stationName) {
        for (auto& station : m_stationList) station->ResetCounters();
        return;
    }
    if (CStationData* station = FindStation(stationName)) station->ResetCounters();
}

int CChannel::GetStatus(const char* stationName, int* controls, int* controlFails, int* polls,
                        int* pollFails) {
    if (!stationName) {
        int summary = -1;
        for (auto& station : m_stationList) {
            int r = station->GetStatus(controls, controlFails, polls, pollFails);
            if (r == 0 && summary == -1) summary = 0;
            if (r > 0) summary = 1;
        }
        if (!m_bActive) return -1;
        if (!m_bPortReady) return 1;
        return summary;
    }
    if (!m_bActive) return -1;
    if (!m_bPortReady) return 1;
    CStationData* station = FindStation(stationName);
    return station ? station->GetStatus(controls, controlFails, polls, pollFails) : -1;
}

void CChannel::GetStationInfo(const char* stationName, CString* number, CString* description) {
    if (!stationName) return;
    if (CStationData* station = FindStation(stationName))
        station->GetDisplayInfo(number, description);
}
