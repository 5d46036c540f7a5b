#include "SerialLine_win32.h"

#include <windows.h>

#include <cstdio>

#include "SerialLine.h"
#include "platform/Tick.h"

namespace {

HANDLE AsHandle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

// An event and an OVERLAPPED that live for one operation. An operation still
// pending when its wait runs out is cancelled and waited for before they go,
// so the system never writes into a freed OVERLAPPED.
struct Overlapped {
    explicit Overlapped(BOOL manualReset) {
        ZeroMemory(&ov, sizeof ov);
        ov.hEvent = CreateEventA(nullptr, manualReset, FALSE, nullptr);
    }
    ~Overlapped() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
    // Cancels a pending operation and returns how many bytes it moved anyway.
    DWORD CancelAndWait(HANDLE port) {
        CancelIo(port);
        DWORD moved = 0;
        if (!GetOverlappedResult(port, &ov, &moved, TRUE)) moved = 0;
        return moved;
    }
    OVERLAPPED ov;
};

}  // namespace

void FillLineDcb(DCB* dcb, const CLineSettings& s) {
    static const BYTE kParity[line::kParityCount] = {NOPARITY, EVENPARITY, ODDPARITY};
    const int handshake = s.m_nHandshake;
    dcb->BaudRate = static_cast<DWORD>(line::BaudOf(s.m_nBaudRate));
    dcb->ByteSize = s.m_nDataBits ? 8 : 7;
    dcb->Parity = kParity[s.m_nParity];
    dcb->StopBits = s.m_nStopBits ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fBinary = 1;
    dcb->fParity = 1;
    dcb->fOutxCtsFlow = handshake & 1;
    dcb->fOutxDsrFlow = handshake & 1;
    dcb->fDtrControl = handshake & 3;
    dcb->fDsrSensitivity = handshake & 1;
    dcb->fTXContinueOnXoff = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fRtsControl = handshake & 3;
}

std::string CSerialLine::DeviceName(int port) {
    char name[32];
    if (port < 9) {
        std::snprintf(name, sizeof name, "COM%d", port + 1);
    } else {
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", port + 1);
    }
    return name;
}

int CSerialLine::Open(const CLineSettings& settings) {
    Close();
    m_bOpen = 0;
    if (!settings.IsValid()) return 0;

    HANDLE h =
        CreateFileA(DeviceName(settings.m_nPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    m_hPort = reinterpret_cast<intptr_t>(h);

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    SetCommMask(h, 0);
    FillLineDcb(&dcb, settings);
    SetCommState(h, &dcb);

    COMMTIMEOUTS timeouts;
    GetCommTimeouts(h, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(h, &timeouts);

    m_bOpen = 1;
    return 1;
}

void CSerialLine::Close() {
    if (m_hPort != -1) {
        CloseHandle(AsHandle(m_hPort));
        m_hPort = -1;
    }
    m_bOpen = 0;
}

int CSerialLine::Write(const char* bytes, int count) {
    if (!m_bOpen) return 0;
    if (count < 0) count = lstrlenA(bytes);
    HANDLE port = AsHandle(m_hPort);
    Overlapped op(FALSE);
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    DWORD written = 0;
    if (WriteFile(port, bytes, static_cast<DWORD>(count), &written, &op.ov)) return 1;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    if (WaitForSingleObject(op.ov.hEvent, m_nWriteTimeout) == WAIT_OBJECT_0) return 1;
    // the next Write purges whatever of this one is still queued
    op.CancelAndWait(port);
    return 0;
}

int CSerialLine::PendingInput() {
    if (!m_bOpen) return 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(AsHandle(m_hPort), &errors, &stat)) return 0;
    return static_cast<int>(stat.cbInQue);
}

int CSerialLine::ReadByte(char* out, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = readOk;
    if (!m_bOpen) {
        *status = readNotOpen;
        return 0;
    }
    HANDLE port = AsHandle(m_hPort);
    Overlapped op(TRUE);
    uint32_t start = GetTickMs();
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(port, out, 1, &got, &op.ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                *status = readFailed;
                return 0;
            }
            if (WaitForSingleObject(op.ov.hEvent, m_nReadTimeout) != WAIT_OBJECT_0) {
                // a byte that arrived while we cancelled is still a byte
                if (op.CancelAndWait(port) == 1) return 1;
                *status = readTimeout;
                return 0;
            }
            if (!GetOverlappedResult(port, &op.ov, &got, FALSE)) {
                DWORD err = GetLastError();
                if (err == ERROR_TIMEOUT) {
                    // the port's own one-second read time-out: Windows completes
                    // such a read with zero bytes, Wine reports it as this error
                    got = 0;
                } else if (err != ERROR_IO_INCOMPLETE) {
                    *status = readResultFailed;
                    return 0;
                } else {
                    // still running although signalled: settle it before the next ReadFile
                    got = op.CancelAndWait(port);
                }
            }
        }
        if (got == 1) return 1;
        uint32_t now = GetTickMs();
        if (now - start >= m_nReadTimeout || now < start) {
            *status = readTimeout;
            return 0;
        }
    }
}
