// One motor controller on a channel's line: its stored record (name,
// description, station number, poll period) and the counters and flags the
// host reads while the channel runs.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/CString.h"
#include "platform/Object.h"

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

protected:
    // Written by the scan thread, read by host threads without a lock.
    std::atomic<int32_t> m_nControlCount{0};
    std::atomic<int32_t> m_nControlFailCount{0};
    std::atomic<int32_t> m_nPollCount{0};
    std::atomic<int32_t> m_nPollFailCount{0};

    int32_t m_nPollPeriod = 1000;
    std::atomic<int32_t> m_bCommError{0};
    std::atomic<int32_t> m_bEnabled{1};
    void* m_hTreeItem = nullptr;
    CString m_strDescription;
    CString m_strName;
    int32_t m_nStationNo = 0;
    int32_t m_nVersion = 0;
};
