// Bytes as hexadecimal text and back, for the key files kept in the data
// folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrona {

// Appends n bytes as lower-case hexadecimal digits.
inline void AppendHex(std::string& out, const uint8_t* data, std::size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
    }
}

inline std::string HexOf(const uint8_t* data, std::size_t n) {
    std::string out;
    out.reserve(n * 2);
    AppendHex(out, data, n);
    return out;
}

// The value of one hexadecimal digit of either case, or -1.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads exactly 2n hexadecimal digits of either case into n bytes; false for
// any other text, with out left partly written.
inline bool ParseHex(std::string_view text, uint8_t* out, std::size_t n) {
    if (text.size() != 2 * n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const int hi = HexDigitValue(text[2 * i]), lo = HexDigitValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

}  // namespace kestrona
