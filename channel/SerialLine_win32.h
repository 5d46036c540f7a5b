// The device control block the Windows line sets for a port's stored
// settings; members it does not name keep the device's values.
#pragma once

#include <windows.h>

void FillLineDcb(DCB* dcb, int baudRate, int parity, int dataBits, int stopBits, int handshake);
