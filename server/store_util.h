// Helpers shared by the store backends.
#pragma once

#include <algorithm>
#include <string>

namespace kestrona::server {

// The key that makes e-mail addresses unique. Only ASCII letters fold: the
// rest of a code page 936 address is kept byte for byte.
inline std::string EmailKey(const std::string& email) {
    std::string key = email;
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return key;
}

}  // namespace kestrona::server
