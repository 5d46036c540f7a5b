#include <windows.h>

#include "Encoding.h"

namespace {

std::wstring Widen(const std::string& in, UINT codePage, DWORD flags, bool* ok) {
    *ok = true;
    if (in.empty()) return std::wstring();
    int n = MultiByteToWideChar(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) {
        *ok = false;
        return std::wstring();
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, in.data(), static_cast<int>(in.size()), &out[0], n);
    return out;
}

}  // namespace

std::string Cp949ToUtf8(const std::string& cp949) {
    bool ok;
    std::wstring wide = Widen(cp949, 949, 0, &ok);
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n,
                        nullptr, nullptr);
    return out;
}

bool Utf8ToCp949(const std::string& utf8, std::string* cp949) {
    bool ok;
    std::wstring wide = Widen(utf8, CP_UTF8, MB_ERR_INVALID_CHARS, &ok);
    if (!ok) return false;
    if (wide.empty()) {
        cp949->clear();
        return true;
    }
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(949, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, &lossy);
    if (n <= 0 || lossy) return false;
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(949, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                        nullptr);
    *cp949 = out;
    return true;
}
