#include "server/metrics_endpoint.h"

#include <array>
#include <asio.hpp>
#include <charconv>
#include <string_view>
#include <system_error>
#include <thread>

namespace kestrona::server {

using asio::ip::tcp;

namespace {

// A scrape request is one short header block; anything larger is not one.
constexpr std::size_t kMaxRequest = 8192;
constexpr auto kRequestTimeout = std::chrono::seconds(5);

std::string Response(std::string_view status, std::string_view type, const std::string& body) {
    std::string out = "HTTP/1.1 ";
    out += status;
    out += "\r\nContent-Type: ";
    out += type;
    out += "\r\nContent-Length: " + std::to_string(body.size());
    out += "\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

}  // namespace

struct MetricsEndpoint::Impl {
    std::string address;
    std::uint16_t port;
    std::function<std::string()> text;
    std::function<bool()> healthy;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    std::thread thread;

    asio::awaitable<void> AcceptLoop() {
        for (;;) {
            std::error_code ec;
            tcp::socket socket =
                co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                if (!acceptor.is_open() || ec == asio::error::operation_aborted) {
                    co_return;
                }
                continue;
            }
            asio::co_spawn(io, Answer(std::move(socket)), asio::detached);
        }
    }

    asio::awaitable<void> Answer(tcp::socket accepted) {
        // Shared with the deadline's handler, which may run after this returns.
        auto owned = std::make_shared<tcp::socket>(std::move(accepted));
        tcp::socket& socket = *owned;
        asio::steady_timer deadline(io, kRequestTimeout);
        deadline.async_wait([owned](std::error_code ec) {
            if (!ec) {
                owned->close(ec);
            }
        });
        std::string request;
        std::array<char, 1024> chunk;
        std::error_code ec;
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest) {
            std::size_t n = co_await socket.async_read_some(
                asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                deadline.cancel();
                co_return;
            }
            request.append(chunk.data(), n);
        }
        std::string reply;
        std::string_view line(request.data(), request.find("\r\n"));
        if (line.starts_with("GET /metrics ") || line.starts_with("GET /metrics?")) {
            reply = Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", text());
        } else if (line.starts_with("GET /healthz ") || line.starts_with("GET /healthz?")) {
            reply = !healthy || healthy() ? Response("200 OK", "text/plain", "ok\n")
                                          : Response("503 Service Unavailable", "text/plain",
                                                     "the database does not answer in time\n");
        } else if (line.starts_with("GET ")) {
            reply = Response("404 Not Found", "text/plain", "only /metrics and /healthz\n");
        } else {
            reply = Response("400 Bad Request", "text/plain", "not an HTTP GET\n");
        }
        co_await asio::async_write(socket, asio::buffer(reply),
                                   asio::redirect_error(asio::use_awaitable, ec));
        deadline.cancel();
        socket.shutdown(tcp::socket::shutdown_both, ec);
        socket.close(ec);
    }
};

MetricsEndpoint::MetricsEndpoint(std::string address, std::uint16_t port,
                                 std::function<std::string()> text, std::function<bool()> healthy)
    : impl_(std::make_unique<Impl>()) {
    impl_->healthy = std::move(healthy);
    impl_->address = std::move(address);
    impl_->port = port;
    impl_->text = std::move(text);
}

MetricsEndpoint::~MetricsEndpoint() {
    Stop();
}

void MetricsEndpoint::Start() {
    Impl& s = *impl_;
    std::error_code ec;
    tcp::endpoint endpoint(asio::ip::make_address(s.address, ec), s.port);
    if (ec) {
        throw std::system_error(ec, "not an address for metrics: " + s.address);
    }
    try {
        s.acceptor.open(endpoint.protocol());
        s.acceptor.set_option(tcp::acceptor::reuse_address(true));
        s.acceptor.bind(endpoint);
        s.acceptor.listen();
    } catch (const std::system_error& e) {
        throw std::system_error(
            e.code(), "cannot serve metrics on " + s.address + " port " + std::to_string(s.port));
    }
    asio::co_spawn(s.io, s.AcceptLoop(), asio::detached);
    s.thread = std::thread([&s] { s.io.run(); });
}

void MetricsEndpoint::Stop() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) {
        return;
    }
    s.io.stop();
    s.thread.join();
    std::error_code ec;
    s.acceptor.close(ec);
}

std::uint16_t MetricsEndpoint::port() const {
    std::error_code ec;
    return impl_->acceptor.local_endpoint(ec).port();
}

}  // namespace kestrona::server
