// CP949 <-> UTF-8 for the tools that show the driver's texts to a person or
// take names from a terminal.
#pragma once

#include <string>

// Bytes that are not valid CP949 become U+FFFD.
std::string Cp949ToUtf8(const std::string& cp949);
// False when the text is not valid UTF-8 or has a character without a CP949 form.
bool Utf8ToCp949(const std::string& utf8, std::string* cp949);
