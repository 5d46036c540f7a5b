// The terminal settings the POSIX line sets for a port's stored settings:
// raw, the baud rate, parity, data and stop bits, no flow control.
#pragma once

#include <termios.h>

#include "config/LineSettings.h"

// The settings must be valid (CLineSettings::IsValid).
void MakeLineTermios(struct termios* tio, const CLineSettings& settings);
