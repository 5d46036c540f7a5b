#include "platform/Numbers.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

bool ParseWholeNumber(const std::string& text, int base, long long low, long long high,
                      long long* out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, base);
    if (*end != '\0' || errno == ERANGE || v < low || v > high) return false;
    *out = v;
    return true;
}
