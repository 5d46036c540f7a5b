// The channel's serial port: opened by index with the stored settings, whole
// frames written after both buffers are purged, reply bytes read one at a
// time with a time-out and a reason for every failed read.
//
// Not thread-safe: the channel's scan thread does all Write and ReadByte
// calls; Open and Close run while that thread does not use the line.
//
// Where a port index leads: on Windows "COM<n+1>" ("\\.\COM<n+1>" from COM10
// on). On Linux the link com<n+1> in the folder that the environment variable
// KRANDOLIX_DOSDEVICES names, when it is set and the link exists (a host that
// places its own links); else the link dosdevices/com<n+1> in the folder of the
// driver library (a symbolic link to any serial device or pseudo-terminal, as
// Wine's dosdevices); else /dev/ttyS<n>. The port is held for this line alone: a
// second line or program asking for it fails to open it.
#pragma once

#include <cstdint>
#include <string>

#include "config/LineSettings.h"

class CSerialLine {
public:
    // ReadByte statuses
    enum {
        readOk = 0,
        readTimeout = 1,
        readFailed = -1,        // the read could not be started
        readResultFailed = -2,  // the read's completion reported an error
        readNotOpen = -3,
    };

    CSerialLine();
    virtual ~CSerialLine();
    CSerialLine(const CSerialLine&) = delete;
    CSerialLine& operator=(const CSerialLine&) = delete;

    // 1 open, 0 not. Settings a line cannot have (CLineSettings::IsValid)
    // open nothing.
    int Open(const CLineSettings& settings);
    void Close();
    // 1 when the bytes were accepted within the write time-out; a negative
    // count means a NUL-terminated text.
    int Write(const char* bytes, int count);
    // 1 with a byte, or 0 with the reason in status (which may be null).
    int ReadByte(char* out, int* status);
    uint32_t SetReadTimeout(uint32_t ms);
    // Bytes received and not yet read, which the purge before the next write
    // drops (for the frame trace; 0 when unknown or not open).
    int PendingInput();
    void SetWriteTimeout(uint32_t ms) { m_nWriteTimeout = ms; }

    int IsOpen() const { return m_bOpen; }
    uint32_t GetReadTimeout() const { return m_nReadTimeout; }
    uint32_t GetWriteTimeout() const { return m_nWriteTimeout; }
    // The OS handle (file descriptor natively), for diagnostics and tests.
    intptr_t GetHandle() const { return m_hPort; }

    // The device name a port index opens on this platform.
    static std::string DeviceName(int port);

private:
    int m_bOpen = 0;
    uint32_t m_nWriteTimeout = 1000;
    uint32_t m_nReadTimeout = 2000;
    intptr_t m_hPort = -1;
    // Set by a write: the reply cannot be there yet, so the next read
    // waits before it looks (one system call less per transaction).
    bool m_bAwaitReply = false;
    // POSIX: what one read brought beyond the byte asked for, handed out one at
    // a time by the next ReadByte calls; the purge before a write empties it.
    // (The Windows line reads one byte a call, as the design has it.)
    uint8_t m_readAhead[64] = {};
    int m_nReadAheadPos = 0;
    int m_nReadAheadLen = 0;
};
