// A number as a command line gives it: the whole text, in range, or nothing.
#pragma once

#include <string>

// The whole text as a number in base (0: 0x.. hex and 0.. octal as C reads
// them), from low to high; false for anything else (blanks, signs beyond one,
// left-over characters, too large).
bool ParseWholeNumber(const std::string& text, int base, long long low, long long high,
                      long long* out);
