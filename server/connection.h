// One client connection as both halves of the server see it: the front door
// that admits it and the exchange that answers its request.
#pragma once

#include <asio.hpp>
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
    tcp::socket socket;
    asio::steady_timer deadline;
    bool timed_out = false;
    bool unread = true;  // cleared once exactly one whole record was read
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
// Closes the connection; unread: bytes may be waiting that the exchange did
// not take.
void Finish(tcp::socket& socket, bool unread);

}  // namespace kestrona::server
