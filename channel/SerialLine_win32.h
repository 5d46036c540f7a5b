// The device control block the Windows line sets for a port's stored
// settings; members it does not name keep the device's values.
#pragma once

#include <windows.h>

#include "config/LineSettings.h"

// The settings must be valid (CLineSettings::IsValid).
void FillLineDcb(DCB* dcb, const CLineSettings& settings);
