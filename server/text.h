// The server's texts for clients, which read code page 936 in fixed fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrona::server {

// UTF-8 to code page 936; characters it cannot hold become '?'.
std::string Utf8ToCp936(std::string_view utf8);

// Length of the longest prefix of at most max_bytes that does not split a
// two-byte character, so a cut text still shows whole characters.
std::size_t Cp936FitLength(std::string_view text, std::size_t max_bytes);

}  // namespace kestrona::server
