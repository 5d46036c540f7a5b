#include <iconv.h>

#include <cerrno>

#include "Encoding.h"

namespace {

// Converts as much as it can; returns false at the first byte it cannot.
bool Convert(iconv_t cd, const std::string& in, std::string* out, size_t* stoppedAt) {
    char* src = const_cast<char*>(in.data());
    size_t left = in.size();
    char buf[256];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out->append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            *stoppedAt = in.size() - left;
            return false;
        }
    }
    return true;
}

}  // namespace

std::string Cp949ToUtf8(const std::string& cp949) {
    iconv_t cd = iconv_open("UTF-8", "CP949");
    std::string out;
    std::string rest = cp949;
    while (true) {
        size_t stopped = 0;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (Convert(cd, rest, &out, &stopped)) break;
        out += "\xEF\xBF\xBD";
        rest = rest.substr(stopped + 1);
    }
    iconv_close(cd);
    return out;
}

bool Utf8ToCp949(const std::string& utf8, std::string* cp949) {
    iconv_t cd = iconv_open("CP949", "UTF-8");
    std::string out;
    size_t stopped = 0;
    bool ok = Convert(cd, utf8, &out, &stopped);
    iconv_close(cd);
    if (ok) *cp949 = out;
    return ok;
}
