// Text in code page 936 (GBK). Records and files hold GBK in fixed zero-padded
// fields; the program works in UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrona {

// UTF-8 -> GBK. Characters GBK cannot hold become '?'.
std::string Utf8ToGbk(std::string_view utf8);
// GBK -> UTF-8. Stops at the first NUL; malformed bytes become U+FFFD.
std::string GbkToUtf8(std::string_view gbk);
// Length of the longest prefix of gbk of at most maxBytes that ends on a character boundary.
std::size_t GbkFitLength(std::string_view gbk, std::size_t maxBytes);
// Writes utf8 as GBK into a field of fieldSize bytes: cut at a character
// boundary to at most fieldSize - 1 bytes (always NUL-terminated), rest zeroed.
void PutGbkField(char* field, std::size_t fieldSize, std::string_view utf8);
// The same with a tighter limit: at most min(maxBytes, fieldSize - 1) bytes of text.
void PutGbkField(char* field, std::size_t fieldSize, std::string_view utf8, std::size_t maxBytes);
// Reads a zero-padded GBK field (not necessarily NUL-terminated) as UTF-8.
std::string GetGbkField(const char* field, std::size_t fieldSize);

}  // namespace kestrona
