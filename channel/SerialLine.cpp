#include "SerialLine.h"

CSerialLine::CSerialLine() = default;

CSerialLine::~CSerialLine() {
    Close();
}

uint32_t CSerialLine::SetReadTimeout(uint32_t ms) {
    uint32_t previous = m_nReadTimeout;
    m_nReadTimeout = ms;
    return previous;
}

bool CSerialLine::SettingsValid(int port, int baudRate, int parity) {
    return port >= 0 && baudRate >= 0 && baudRate <= 8 && parity >= 0 && parity <= 2;
}
