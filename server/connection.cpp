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

asio::awaitable<std::size_t> Connection::ReadSome(asio::mutable_buffer buffer,
                                                  std::error_code& ec) {
    if (tls) {
        co_return co_await tls->async_read_some(buffer,
                                                asio::redirect_error(asio::use_awaitable, ec));
    }
    co_return co_await socket.async_read_some(buffer,
                                              asio::redirect_error(asio::use_awaitable, ec));
}

bool SendNow(Connection& conn, const Bytes& bytes) {
    if (!conn.tls) {
        return SendNow(conn.socket, bytes);
    }
    // A reply and its record header fit the send buffer of a fresh
    // connection as well; with the socket non-blocking, a peer that does
    // not read makes the write fail instead of holding the thread.
    std::error_code ec;
    conn.socket.non_blocking(true, ec);
    std::size_t sent = asio::write(*conn.tls, asio::buffer(bytes), ec);
    return !ec && sent == bytes.size();
}

void Finish(Connection& conn) {
    if (conn.tls && !conn.timed_out) {
        // Sends the close alert and returns at once: the socket is
        // non-blocking, so the wait for the client's own alert ends with
        // would_block.
        std::error_code ec;
        conn.socket.non_blocking(true, ec);
        conn.tls->shutdown(ec);
    }
    Finish(conn.socket, conn.unread);
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
