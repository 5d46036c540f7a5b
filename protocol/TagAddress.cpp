#include "protocol/TagAddress.h"

#include <cstdint>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The rest of an address as strtoul reads base 10, but always in 32 bits:
// blanks, one sign, digits. False when characters are left over. No digits
// reads 0 with the whole rest left over, except for an empty rest.
bool ReadBitNumber(const std::string& text, uint32_t* value) {
    size_t p = 0;
    while (p < text.size() && IsBlank(text[p])) ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    if (p >= text.size() || !IsDigit(text[p])) {
        *value = 0;
        return text.empty();
    }
    uint64_t n = 0;
    bool overflow = false;
    for (; p < text.size() && IsDigit(text[p]); ++p) {
        n = n * 10 + static_cast<uint64_t>(text[p] - '0');
        if (n > 0xFFFFFFFFu) overflow = true, n = 0xFFFFFFFFu;
    }
    if (overflow) {
        *value = 0xFFFFFFFFu;
    } else {
        *value = negative ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    }
    return p == text.size();
}

}  // namespace

TagAddressFault ParseTagAddress(const std::string& address, TagAddress* out) {
    size_t begin = 0, end = address.size();
    while (begin < end && IsBlank(address[begin])) ++begin;
    while (end > begin && IsBlank(address[end - 1])) --end;
    if (begin == end) return TagAddressFault::kind;
    char kind = address[begin];
    if (kind == 'i') kind = 'I';
    if (kind == 'o') kind = 'O';
    if (kind != 'I' && kind != 'O') return TagAddressFault::kind;
    uint32_t bit = 0;
    if (!ReadBitNumber(address.substr(begin + 1, end - begin - 1), &bit))
        return TagAddressFault::number;
    out->kind = kind;
    if (bit > 7) return TagAddressFault::range;
    out->bit = static_cast<int>(bit);
    return TagAddressFault::none;
}
