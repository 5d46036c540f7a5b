// The terminal settings the POSIX line sets for a port's stored settings:
// raw, the baud rate, parity, data and stop bits, no flow control.
#pragma once

#include <termios.h>

void MakeLineTermios(struct termios* tio, int baudRate, int parity, int dataBits, int stopBits,
                     int handshake);
