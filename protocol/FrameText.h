// How frames and status bytes are written for a person: the frame trace,
// drvscan and mcsim all write them this one way.
#pragma once

#include <cstdint>
#include <string>

// "02 30 31 03": upper-case hex, a blank between bytes.
std::string HexBytes(const std::string& bytes);
// "00000101": the status byte's bits, bit 7 first.
std::string StatusBits(uint8_t status);
