#include "protocol/FrameText.h"

std::string HexBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

std::string StatusBits(uint8_t status) {
    std::string bits;
    for (int i = 7; i >= 0; --i) bits += (status >> i) & 1 ? '1' : '0';
    return bits;
}
