// One client connection as both halves of the server see it: the front door
// that admits it and the exchange that answers its request. A connection of
// the TLS listener is the same connection with a TLS stream over its socket;
// the exchange reads and answers through ReadSome and SendNow and never
// knows which it has.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "server/metrics.h"
#include "server/reply.h"
#include "server/request.h"

namespace kestrona::server {

using asio::ip::tcp;

struct Connection {
    explicit Connection(tcp::socket s) : socket(std::move(s)), deadline(socket.get_executor()) {}
    // The TCP connection, under TLS when there is any; the deadline cancels
    // it, which ends a pending TLS read or handshake as well.
    tcp::socket socket;
    asio::steady_timer deadline;
    Transport transport = Transport::kPlain;
    // Present once a TLS connection's handshake has begun.
    std::optional<asio::ssl::stream<tcp::socket&>> tls;
    bool timed_out = false;
    bool unread = true;  // cleared once exactly one whole record was read

    // Reads what has arrived of the request, decrypted when under TLS.
    asio::awaitable<std::size_t> ReadSome(asio::mutable_buffer buffer, std::error_code& ec);
};

// What the metrics learn of one exchange.
struct Tally {
    std::optional<Command> command;        // empty: no whole, known record
    std::optional<ExchangeResult> result;  // empty: no request came at all
    std::chrono::steady_clock::time_point request_complete{};
};

// What an unrecognised request began with, safe to print.
std::string Printable(std::span<const std::uint8_t> data);
// Replies are small and go out on a fresh connection, so they always fit the
// send buffer; a peer that does not read can never hold a write open.
bool SendNow(tcp::socket& socket, const Bytes& bytes);
// The same through the connection's TLS stream when it has one.
bool SendNow(Connection& conn, const Bytes& bytes);
// Closes the connection; unread: bytes may be waiting that the exchange did
// not take.
void Finish(tcp::socket& socket, bool unread);
// The same, ending a TLS session with its close alert first.
void Finish(Connection& conn);

}  // namespace kestrona::server
