#include "CString.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string StrFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

void CString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    m_str = VFormat(format, args);
    va_end(args);
}

void CString::TrimLeft() {
    size_t i = 0;
    while (i < m_str.size() && IsBlank(m_str[i])) ++i;
    m_str.erase(0, i);
}

void CString::TrimRight() {
    size_t n = m_str.size();
    while (n > 0 && IsBlank(m_str[n - 1])) --n;
    m_str.resize(n);
}

void CString::MakeUpper() {
    for (char& c : m_str) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}
