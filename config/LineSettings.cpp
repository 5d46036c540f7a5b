#include "LineSettings.h"

#include <cstdio>

#include "ConfigData.h"

CLineSettings CLineSettings::Of(const CConfigData& c) {
    CLineSettings s;
    s.m_nPort = c.GetPort();
    s.m_nBaudRate = c.GetBaudRate();
    s.m_nParity = c.GetParity();
    s.m_nDataBits = c.GetDataBits();
    s.m_nStopBits = c.GetStopBits();
    s.m_nHandshake = 0;
    return s;
}

bool CLineSettings::IsValid() const {
    return m_nPort >= 0 && line::BaudOf(m_nBaudRate) > 0 && m_nParity >= 0 &&
           m_nParity < line::kParityCount;
}

namespace line {

int32_t BaudOf(long long index) {
    return index >= 0 && index < kBaudRateCount ? kBaudRates[index] : -1;
}

std::string BaudText(int index) {
    if (BaudOf(index) < 0) return "";
    char b[16];
    std::snprintf(b, sizeof b, "%5d", static_cast<int>(kBaudRates[index]));
    return b;
}

std::string PortName(long long index) {
    return "COM" + std::to_string(index + 1);
}

}  // namespace line
