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
