#include "server/text.h"

#include <iconv.h>

#include <cerrno>

namespace kestrona::server {

std::string Utf8ToCp936(std::string_view utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter: keep the ASCII and mark the rest.
        std::string out;
        for (char c : utf8) {
            out += (static_cast<unsigned char>(c) < 0x80) ? c : '?';
        }
        return out;
    }
    std::string out;
    char buffer[256];
    char* in = const_cast<char*>(utf8.data());
    std::size_t in_left = utf8.size();
    while (in_left > 0) {
        char* to = buffer;
        std::size_t to_left = sizeof buffer;
        std::size_t rc = iconv(cd, &in, &in_left, &to, &to_left);
        out.append(buffer, static_cast<std::size_t>(to - buffer));
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            // Unconvertible or malformed: skip one whole UTF-8 character.
            out += '?';
            std::size_t skip = 1;
            while (skip < in_left && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) {
                ++skip;
            }
            in += skip;
            in_left -= skip;
        }
    }
    iconv_close(cd);
    return out;
}

std::size_t Cp936FitLength(std::string_view text, std::size_t max_bytes) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t width = (c >= 0x81 && c <= 0xFE && i + 1 < text.size()) ? 2 : 1;
        if (i + width > max_bytes) {
            break;
        }
        i += width;
    }
    return i;
}

}  // namespace kestrona::server
