// One opened configuration file brought to life: the configuration with its
// stations, the serial line they share, one scan thread that visits the
// stations in turn, and the message link every log line of the channel and
// its stations goes through ("Krandolix : " in front).
//
// The host's thread calls the operations below; the scan thread does all
// serial I/O. They share the three flags (atomic words), the stop event, the
// stations' counters (atomic) and their write queues (locked inside the
// engines). A pass over the stations holds m_passLock, so Start never
// reopens the port under a running pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "channel/FrameTrace.h"
#include "channel/SerialLine.h"
#include "config/ConfigData.h"
#include "driver/HostLink.h"
#include "platform/Event.h"
#include "platform/Thread.h"

class CTagVal;

class CChannel : public CConfigData {
public:
    // Values a stored file may hold that no dialog accepts are run as these.
    static const int kDefaultTimeout = 5000;

    CChannel();
    ~CChannel() override;

    void SetHandle(int32_t handle) { m_nHandle = handle; }
    int32_t GetHandle() const { return m_nHandle; }

    // Fault (kind 256) and progress (kind 258) lines to the host's log. The
    // text is an argument, never a format: a '%' in it prints as it is.
    void LogFault(const char* text);
    void LogInfo(const char* text);

    // The protocol engine's way to the line (scan thread only). Virtual so
    // that a test or fuzzer can stand between the engine and the line.
    virtual int Send(const char* bytes, int count) { return m_line.Write(bytes, count); }
    virtual int ReceiveByte(char* out, int* status) { return m_line.ReadByte(out, status); }

    // The settings as the scan runs them: a negative delay as 0, a time-out
    // below 1 ms as 5000 ms, a negative retry count as 0.
    int GetRunDelay() const { return m_nDelay < 0 ? 0 : m_nDelay; }
    int GetRunTimeout() const { return m_nTimeout < 1 ? kDefaultTimeout : m_nTimeout; }
    int GetRunRetries() const { return m_nRetries < 0 ? 0 : m_nRetries; }

    // ---- the host's operations (entry table slots 3-8, 13-16) ----

    // Attaches every station to this channel (also done right after opening,
    // so tags registered before the first start can log their refusals).
    void AttachStations();
    int Start();
    int StartScan();
    int Stop();
    int RegisterTag(const char* deviceName, const char* address, int hostType, int reserved,
                    HostTagRef hostTag);
    int WriteTag(uint32_t tagHandle, const CTagVal* value);
    int IsWriteDone(uint32_t tagHandle);
    void SetActive(const char* stationName, int value);
    void ResetCounters(const char* stationName);
    int GetStatus(const char* stationName, int* controls, int* controlFails, int* polls,
                  int* pollFails);
    void GetStationInfo(const char* stationName, CString* number, CString* description);

    // Library unload: BeginUnload ends the scan after the station it is
    // visiting; WaitUnloaded waits for the thread at most timeoutMs and is
    // false when it did not end.
    void BeginUnload();
    bool WaitUnloaded(uint32_t timeoutMs);

    // Tag handles: station position in the top 9 bits, tag index in the low
    // 23; false when the pair does not fit (or would give -1).
    static bool MakeTagHandle(int station, int tagIndex, int32_t* handle);
    static int HandleStation(uint32_t handle) { return static_cast<int>(handle >> 23); }
    static int HandleTag(uint32_t handle) { return static_cast<int>(handle & 0x7FFFFF); }

    CSerialLine& GetLine() { return m_line; }
    // The frame trace of this run, or null (scan thread, during a pass).
    CFrameTrace* GetTrace() const { return m_trace.get(); }
    const CRuntimeLink& GetRuntimeLink() const { return m_runtimeLink; }
    bool IsRunning() const { return m_bRunning != 0; }
    bool IsPortReady() const { return m_bPortReady != 0; }
    bool IsActive() const { return m_bActive != 0; }

protected:
    static void ScanThreadProc(void* channel);
    // One pass; returns m_bRunning as read at its end.
    int ScanPass();
    void LogStoredValueFixes();

    // Destroyed in reverse: the message link first, then the event, then the
    // line (closing the port), then the configuration with its stations.
    CSerialLine m_line;
    std::atomic<int32_t> m_bPortReady{0};
    std::atomic<int32_t> m_bRunning{0};
    CEvent m_stopEvent;
    std::atomic<int32_t> m_bActive{0};
    int32_t m_nHandle = -1;
    std::mutex m_passLock;
    std::atomic<int32_t> m_bUnloading{0};
    bool m_bScanAtUnload = false;
    ThreadHandle m_hThread = nullptr;  // the scan thread, to be sure it is gone
    CRuntimeLink m_runtimeLink;
    // opened by Start when KRANDOLIX_TRACE names a folder; a folder that
    // cannot be written is reported once
    std::unique_ptr<CFrameTrace> m_trace;
    std::string m_traceFailed;
};
