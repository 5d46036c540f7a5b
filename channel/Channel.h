// One opened configuration file brought to life: the configuration with its
// stations, the serial line they share, the flags the host and the scan
// thread exchange, and the message link every log line of the channel and
// its stations goes through ("Krandolix : " in front).
#pragma once

#include <atomic>
#include <cstdint>

#include "channel/SerialLine.h"
#include "config/ConfigData.h"
#include "driver/HostLink.h"
#include "platform/Event.h"

class CChannel : public CConfigData {
public:
    CChannel();
    ~CChannel() override;

    void SetHandle(int32_t handle) { m_nHandle = handle; }
    int32_t GetHandle() const { return m_nHandle; }

    // Fault (kind 256) and progress (kind 258) lines to the host's log. The
    // text is an argument, never a format: a '%' in it prints as it is.
    void LogFault(const char* text);
    void LogInfo(const char* text);

    // The protocol engine's way to the line (scan thread only).
    int Send(const char* bytes, int count) { return m_line.Write(bytes, count); }
    int ReceiveByte(char* out, int* status) { return m_line.ReadByte(out, status); }

    CSerialLine& GetLine() { return m_line; }
    const CRuntimeLink& GetRuntimeLink() const { return m_runtimeLink; }

protected:
    // Destroyed in reverse: the message link first, then the event, then the
    // line (closing the port), then the configuration with its stations.
    CSerialLine m_line;
    std::atomic<int32_t> m_bPortReady{0};
    std::atomic<int32_t> m_bRunning{0};
    CEvent m_stopEvent;
    std::atomic<int32_t> m_bActive{0};
    int32_t m_nHandle = -1;
    CRuntimeLink m_runtimeLink;
};
