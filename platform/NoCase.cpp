#include "NoCase.h"

namespace {
inline unsigned char Fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}
}  // namespace

int StrICmp(const char* a, const char* b) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a ? a : "");
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b ? b : "");
    for (;; ++p, ++q) {
        int d = Fold(*p) - Fold(*q);
        if (d != 0 || *p == 0) return d;
    }
}
