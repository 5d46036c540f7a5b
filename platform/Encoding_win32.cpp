#include <windows.h>

#include "Encoding.h"

namespace {

std::wstring Widen(const std::string& in, UINT codePage, DWORD flags, bool* ok) {
    *ok = true;
    if (in.empty()) return std::wstring();
    int n =
        MultiByteToWideChar(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
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
    // character by character, so that one bad byte costs one U+FFFD and no more
    std::wstring wide;
    for (size_t i = 0; i < cp949.size();) {
        int len =
            (IsDBCSLeadByteEx(949, static_cast<BYTE>(cp949[i])) && i + 1 < cp949.size()) ? 2 : 1;
        wchar_t w[2];
        int n = MultiByteToWideChar(949, MB_ERR_INVALID_CHARS, cp949.data() + i, len, w, 2);
        if (n == 1 && !(len == 1 && static_cast<BYTE>(cp949[i]) >= 0x80)) {
            wide += w[0];
        } else {
            wide += L'\xFFFD';
            len = 1;
        }
        i += static_cast<size_t>(len);
    }
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                        nullptr);
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
