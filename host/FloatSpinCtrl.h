// A spin button that steps a decimal number in its partner edit field
// (Windows): it takes over an existing spin control whose position it never
// uses, and writes the number with as many decimals as its step asks for.
#pragma once

#include <windows.h>
// commctrl.h needs windows.h first
#include <commctrl.h>

#include "ZeravSubApi.h"

class ZERAVSUB_API CFloatSpinCtrl {
public:
    CFloatSpinCtrl();
    virtual ~CFloatSpinCtrl();

    void Attach(HWND spin);
    void SetRange(float low, float high);
    // step: what one click adds; decimals: how many the field shows.
    void SetDeltaInc(float step, int decimals);
    // The dialog hands on UDN_DELTAPOS of this spin; TRUE when handled (the
    // spin's own position is then left alone).
    BOOL HandleDeltaPos(NMUPDOWN* change);

private:
    HWND m_hSpin = nullptr;
    double m_dLow = 0.0;
    double m_dHigh = 100.0;
    double m_dStep = 1.0;
    int m_nDecimals = 0;
};
