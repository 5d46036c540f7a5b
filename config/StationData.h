// One motor controller on a channel's line: its stored record (name,
// description, station number, poll period), the counters and flags the
// host reads while the channel runs, and its runtime role: it takes the
// host's tag registrations and writes, and the scan thread visits it.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/HostLink.h"
#include "platform/CString.h"
#include "platform/Object.h"
#include "protocol/StationProtocol.h"
#include "protocol/TagTable.h"

class CChannel;

class CStationData : public CObject {
public:
    static CRuntimeClass classCStationData;
    static CObject* CreateObject();

    CStationData();
    ~CStationData() override;
    CStationData(const CStationData&) = delete;
    CStationData& operator=(const CStationData&) = delete;

    const CRuntimeClass* GetRuntimeClass() const override { return &classCStationData; }
    void Serialize(CArchive& ar) override;

    // Copies the four stored values; counters, flags, tags and links stay.
    void CopyFrom(const CStationData& other);

    void SetEnabled(int enabled) { m_bEnabled = enabled; }
    int IsEnabled() const { return m_bEnabled; }
    // Counters in the order control, control failures, poll, poll failures;
    // -1 for a disabled station, 1 while in fault, else 0.
    int GetStatus(int* controls, int* controlFails, int* polls, int* pollFails) const;
    void ResetCounters();
    void GetDisplayInfo(CString* number, CString* description) const;

    void CountPoll() { ++m_nPollCount; }
    void CountControl() { ++m_nControlCount; }
    void CountPollFailure() {
        ++m_nPollFailCount;
        m_bCommError = 1;
    }
    void CountControlFailure() {
        ++m_nControlFailCount;
        m_bCommError = 1;
    }
    void ClearCommError() { m_bCommError = 0; }

    int GetStationNo() const { return m_nStationNo; }
    void SetStationNo(int number) { m_nStationNo = number; }
    const CString& GetName() const { return m_strName; }
    void SetName(const char* name) { m_strName = name; }
    const CString& GetDescription() const { return m_strDescription; }
    void SetDescription(const char* text) { m_strDescription = text; }
    int GetPollPeriod() const { return m_nPollPeriod; }
    void SetPollPeriod(int ms) { m_nPollPeriod = ms; }
    void* GetTreeItem() const { return m_hTreeItem; }
    void SetTreeItem(void* item) { m_hTreeItem = item; }

    // ---- runtime role ----

    // Takes the channel that runs this station and binds the engine to it.
    void AttachChannel(CChannel* channel);
    // Parses and appends a tag: its index, or -1 with the reason in the
    // channel's fault log.
    int RegisterTag(const char* address, int hostType, int reserved, HostTagRef hostTag);
    // One visit of the scan thread: at most one queued write, then a poll
    // when the poll period has run out.
    void ScanStep();
    // -1 while disabled, else the engine's answer.
    int WriteValue(int tagIndex, const CTagVal& value);
    int IsWriteDone(int tagIndex) { return m_engine.IsWriteDone(tagIndex); }
    // Lines with the station's name (and number, for faults) in front.
    void LogFault(const char* text);
    void LogInfo(const char* text);
    CChannel* GetChannel() const { return m_pChannel; }
    CTagTable& GetTagTable() { return m_tagTable; }
    CStationProtocol& GetEngine() { return m_engine; }
    // The poll period the scan uses: a stored negative one counts as 0.
    uint32_t GetRunPollPeriod() const {
        return m_nPollPeriod < 0 ? 0u : static_cast<uint32_t>(m_nPollPeriod);
    }

protected:
    // Written by the scan thread, read by host threads without a lock.
    std::atomic<int32_t> m_nControlCount{0};
    std::atomic<int32_t> m_nControlFailCount{0};
    std::atomic<int32_t> m_nPollCount{0};
    std::atomic<int32_t> m_nPollFailCount{0};

    CChannel* m_pChannel = nullptr;
    CTagTable m_tagTable;
    CStationProtocol m_engine;
    uint32_t m_dwLastPollTick = 0;

    int32_t m_nPollPeriod = 1000;
    std::atomic<int32_t> m_bCommError{0};
    std::atomic<int32_t> m_bEnabled{1};
    void* m_hTreeItem = nullptr;
    CString m_strDescription;
    CString m_strName;
    int32_t m_nStationNo = 0;
    int32_t m_nVersion = 0;
};
