#include "FloatSpinCtrl.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

CFloatSpinCtrl::CFloatSpinCtrl() = default;
CFloatSpinCtrl::~CFloatSpinCtrl() = default;

void CFloatSpinCtrl::Attach(HWND spin) {
    m_hSpin = spin;
    // a position in the middle, so that both arrows always report a step
    SendMessageA(spin, UDM_SETRANGE32, 0, 100);
    SendMessageA(spin, UDM_SETPOS32, 0, 50);
}

void CFloatSpinCtrl::SetRange(float low, float high) {
    m_dLow = low;
    m_dHigh = high;
}

void CFloatSpinCtrl::SetDeltaInc(float step, int decimals) {
    m_dStep = step;
    m_nDecimals = decimals;
}

BOOL CFloatSpinCtrl::HandleDeltaPos(NMUPDOWN* change) {
    if (!m_hSpin || change->hdr.hwndFrom != m_hSpin) return FALSE;
    HWND buddy = reinterpret_cast<HWND>(SendMessageA(m_hSpin, UDM_GETBUDDY, 0, 0));
    char text[64] = {};
    GetWindowTextA(buddy, text, sizeof text);
    // steps are counted in whole units of the step, so 0.1 + 0.1 stays 0.2
    double scale = std::pow(10.0, m_nDecimals);
    double value = std::round(std::strtod(text, nullptr) * scale) / scale;
    value += (change->iDelta > 0 ? 1 : -1) * m_dStep;
    if (value < m_dLow) value = m_dLow;
    if (value > m_dHigh) value = m_dHigh;
    char out[64];
    std::snprintf(out, sizeof out, "%.*f", m_nDecimals, value);
    SetWindowTextA(buddy, out);
    return TRUE;
}
