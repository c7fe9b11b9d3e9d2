#include "server/connection.h"

#include <sys/socket.h>

#include <array>
#include <cstdio>

namespace kestrona::server {

std::string Printable(std::span<const std::uint8_t> data) {
    std::string out;
    for (std::size_t i = 0; i < data.size() && i < 20; ++i) {
        std::uint8_t c = data[i];
        if (c >= 0x21 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out.empty() ? "-" : out;
}

bool SendNow(tcp::socket& socket, const Bytes& bytes) {
    ssize_t sent =
        ::send(socket.native_handle(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(bytes.size());
}

void Finish(tcp::socket& socket, bool unread) {
    std::error_code ec;
    if (unread) {
        socket.shutdown(tcp::socket::shutdown_send, ec);
        // Closing over unread bytes would reset the connection and could
        // destroy the reply before the client reads it; take what is there.
        std::array<std::uint8_t, 512> scratch;
        for (int i = 0; i < 8; ++i) {
            ssize_t n =
                ::recv(socket.native_handle(), scratch.data(), scratch.size(), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
        }
    }
    socket.close(ec);
}

}  // namespace kestrona::server
