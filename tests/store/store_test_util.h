// Byte helpers shared by the store tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/atomic_file.h"

namespace kestrona::testing {

// "01 ab ..." (spaces ignored) to bytes.
inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '\n') {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

template <typename Array>
std::vector<uint8_t> Vec(const Array& a) {
    return std::vector<uint8_t>(a.begin(), a.end());
}

inline std::string Slurp(const std::filesystem::path& p) {
    std::string s;
    std::error_code ec;
    ReadWholeFile(p, s, ec);
    return s;
}

}  // namespace kestrona::testing
