// Byte string in CP949 with the handful of operations the host interfaces use.
// The host, the driver and the host's libraries all pass it by pointer, so its
// layout is a plain std::string and nothing else.
#pragma once

#include <string>

class CString {
public:
    CString() = default;
    CString(const char* text) : m_str(text ? text : "") {}
    CString(std::string text) : m_str(std::move(text)) {}

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    const char* GetString() const { return m_str.c_str(); }
    operator const char*() const { return m_str.c_str(); }
    const std::string& Str() const { return m_str; }
    std::string& Str() { return m_str; }

    CString& operator=(const char* text) {
        m_str = text ? text : "";
        return *this;
    }
    CString& operator+=(const char* text) {
        if (text) m_str += text;
        return *this;
    }
    CString& operator+=(const CString& text) {
        m_str += text.m_str;
        return *this;
    }
    bool operator==(const CString& other) const { return m_str == other.m_str; }
    bool operator!=(const CString& other) const { return m_str != other.m_str; }

    // printf-style formatting; texts are always arguments, never the format.
    void Format(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void TrimLeft();
    void TrimRight();
    // Upper-cases the ASCII letters only, as the C locale does: the bytes of
    // double-byte characters stay as they are.
    void MakeUpper();

private:
    std::string m_str;
};

// printf into a std::string.
std::string StrFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
