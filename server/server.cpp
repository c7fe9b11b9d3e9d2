#include "server/server.h"

#include <sys/socket.h>
#include <unistd.h>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/connection.h"
#include "server/exchange.h"
#include "server/metrics.h"
#include "server/metrics_endpoint.h"
#include "server/records.h"
#include "server/reply.h"
#include "server/request.h"
#include "server/tls_context.h"

namespace kestrona::server {

using asio::ip::tcp;

namespace {

std::string PeerAddress(const tcp::endpoint& endpoint) {
    asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

std::string UtcNow() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count()));
    return text;
}

}  // namespace

struct Server::Impl {
    Impl(ServerConfig c, Directory& d)
        : config(std::move(c)),
          directory(d),
          exchange(std::make_unique<ExchangeHandler>(config, directory, metrics)) {}

    // Holds a connection's place among all connections and, once its client's
    // address is known, among that address's, until the connection ends.
    class Slot {
      public:
        explicit Slot(Impl* impl) : impl_(impl) {}
        Slot(Slot&& other) noexcept
            : impl_(std::exchange(other.impl_, nullptr)), address_(std::move(other.address_)) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot() {
            if (impl_) {
                impl_->Release(address_);
            }
        }
        bool Claim(const std::string& address) {
            if (!impl_->ReserveAddress(address)) {
                return false;
            }
            address_ = address;
            return true;
        }

      private:
        Impl* impl_;
        std::string address_;
    };

    bool ReserveConnection() {
        std::lock_guard lock(slots_mutex);
        if (config.max_connections > 0 && open_connections >= config.max_connections) {
            return false;
        }
        ++open_connections;
        return true;
    }

    bool ReserveAddress(const std::string& address) {
        std::lock_guard lock(slots_mutex);
        int& count = per_address[address];
        if (config.max_per_address > 0 && count >= config.max_per_address) {
            if (count == 0) {
                per_address.erase(address);
            }
            return false;
        }
        ++count;
        return true;
    }

    // address empty: the connection had no address slot yet.
    void Release(const std::string& address) {
        std::lock_guard lock(slots_mutex);
        --open_connections;
        if (address.empty()) {
            return;
        }
        auto it = per_address.find(address);
        if (it != per_address.end() && --it->second <= 0) {
            per_address.erase(it);
        }
    }

    void Log(const std::string& peer, std::uint16_t port, std::string_view command,
             std::string_view result) {
        if (!config.log) {
            return;
        }
        std::string line = UtcNow();
        line += ' ';
        line += peer;
        line += ':';
        line += std::to_string(port);
        line += ' ';
        line += command;
        line += " -> ";
        line += result;
        config.log(line);
    }

    // Each thread runs a lane: its own context and acceptors, so a connection
    // never moves between threads and its timer and reads never overlap.
    struct Lane {
        asio::io_context io{1};
        tcp::acceptor acceptor{io};
        tcp::acceptor tls_acceptor{io};
    };

    asio::awaitable<void> AcceptLoop(Lane& lane, tcp::acceptor& acceptor, Transport transport) {
        for (;;) {
            std::error_code ec;
            tcp::endpoint remote;
            tcp::socket socket = co_await acceptor.async_accept(
                remote, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                if (!acceptor.is_open() || ec == asio::error::operation_aborted) {
                    co_return;
                }
                // Out of descriptors or memory: wait for connections to end
                // rather than spin on the failing accept.
                asio::steady_timer pause(lane.io, std::chrono::milliseconds(50));
                co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
                continue;
            }
            Admit(std::move(socket), remote, transport);
        }
    }

    // Before its handshake a TLS client could not read the answer: it is
    // only closed.
    void Refuse(tcp::socket& socket, Transport transport, const std::string& address,
                std::uint16_t port, Refusal why, std::string_view text) {
        if (transport == Transport::kPlain) {
            SendNow(socket, PlainReply(records::kGeneralError));
        }
        metrics.Refused(why);
        Log(address, port, "-", text);
        Finish(socket, true);
    }

    void Admit(tcp::socket socket, const tcp::endpoint& remote, Transport transport) {
        std::string address = PeerAddress(remote);
        bool via_proxy = config.trusted_proxies.Contains(address);
        if (!via_proxy && config.proxy_only) {
            Refuse(socket, transport, address, remote.port(), Refusal::kProxyMissing,
                   "refused: not from a trusted balancer");
            return;
        }
        if (!ReserveConnection()) {
            Refuse(socket, transport, address, remote.port(), Refusal::kTooManyConnections,
                   "refused: too many connections");
            return;
        }
        Slot slot(this);
        // Behind a balancer the client's own address is known only once the
        // header has arrived; its place is claimed then.
        if (!via_proxy && !slot.Claim(address)) {
            Refuse(socket, transport, address, remote.port(), Refusal::kTooManyConnections,
                   "refused: too many connections");
            return;
        }
        auto executor = socket.get_executor();
        asio::co_spawn(
            executor,
            Serve(std::move(socket), transport, address, remote.port(), std::move(slot), via_proxy),
            asio::detached);
    }

    // Reads the balancer's header; the client's bytes that came behind it are
    // left in early. Empty when the connection was refused (and closed).
    asio::awaitable<std::optional<ProxyHeader>> ReadProxyHeader(Connection& conn,
                                                                const std::string& address,
                                                                std::uint16_t port, Bytes& early) {
        std::array<std::uint8_t, kMaxProxyHeader + records::kLargestRequest + 1> buffer;
        std::size_t received = 0;
        ProxyParse parse;
        while (!conn.timed_out && received < buffer.size()) {
            std::error_code ec;
            std::size_t n = co_await conn.socket.async_read_some(
                asio::buffer(buffer.data() + received, buffer.size() - received),
                asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                break;
            }
            received += n;
            parse = ParseProxyHeader({buffer.data(), received});
            if (parse.status != ProxyStatus::kNeedMore) {
                break;
            }
        }
        switch (parse.status) {
            case ProxyStatus::kDone:
                early.assign(buffer.begin() + static_cast<std::ptrdiff_t>(parse.header.length),
                             buffer.begin() + static_cast<std::ptrdiff_t>(received));
                co_return parse.header;
            case ProxyStatus::kInvalid:
                Refuse(conn.socket, conn.transport, address, port, Refusal::kProxyInvalid,
                       std::string("refused: ") + std::string(parse.error));
                co_return std::nullopt;
            case ProxyStatus::kNeedMore:
                if (received > 0) {
                    Refuse(conn.socket, conn.transport, address, port, Refusal::kProxyInvalid,
                           "refused: incomplete PROXY header");
                    co_return std::nullopt;
                }
                break;
            case ProxyStatus::kNotProxy:
                break;
        }
        if (received == 0 && !conn.timed_out) {
            // A balancer's plain connect check: nothing to refuse or count.
            Log(address, port, "-", "closed: nothing sent");
            Finish(conn.socket, false);
        } else {
            Refuse(conn.socket, conn.transport, address, port, Refusal::kProxyMissing,
                   "refused: no PROXY header from a trusted balancer");
        }
        co_return std::nullopt;
    }

    // The TLS handshake, within the connection's deadline; the bytes of it
    // that came behind a balancer's header are handed in first. False when
    // it failed (the connection is closed then).
    asio::awaitable<bool> Handshake(Connection& conn, const std::string& address,
                                    std::uint16_t port, const Bytes& early) {
        // The handshake's flights and the greeting behind them are small
        // writes in a row: without this the greeting would wait for the
        // client's delayed acknowledgement.
        std::error_code nodelay;
        conn.socket.set_option(tcp::no_delay(true), nodelay);
        conn.tls.emplace(conn.socket, *tls_context);
        std::error_code ec;
        if (early.empty()) {
            co_await conn.tls->async_handshake(asio::ssl::stream_base::server,
                                               asio::redirect_error(asio::use_awaitable, ec));
        } else {
            co_await conn.tls->async_handshake(asio::ssl::stream_base::server, asio::buffer(early),
                                               asio::redirect_error(asio::use_awaitable, ec));
        }
        if (!ec) {
            co_return true;
        }
        conn.tls.reset();
        if (conn.timed_out) {
            Log(address, port, "-", "closed: TLS handshake not done in time");
        } else if (ec == asio::error::eof && early.empty()) {
            // A port check or a balancer's plain connect check.
            Log(address, port, "-", "closed: nothing sent");
            Finish(conn.socket, false);
            co_return false;
        } else {
            Log(address, port, "-", "closed: TLS handshake failed: " + ec.message());
        }
        metrics.Refused(Refusal::kTlsHandshake);
        Finish(conn.socket, true);
        co_return false;
    }

    asio::awaitable<void> Serve(tcp::socket socket, Transport transport, std::string address,
                                std::uint16_t port, Slot slot, bool via_proxy) {
        auto conn = std::make_shared<Connection>(std::move(socket));
        conn->transport = transport;
        conn->deadline.expires_after(config.idle_timeout);
        conn->deadline.async_wait([conn](std::error_code ec) {
            if (!ec) {
                conn->timed_out = true;
                conn->socket.cancel(ec);
            }
        });
        struct Disarm {
            Connection& c;
            ~Disarm() { c.deadline.cancel(); }
        } disarm{*conn};

        Bytes early;
        // A balancer's health check speaks for itself and sends no request;
        // a line for each would bury the phones' exchanges.
        bool health_check = false;
        if (via_proxy) {
            std::optional<ProxyHeader> header =
                co_await ReadProxyHeader(*conn, address, port, early);
            if (!header) {
                co_return;
            }
            if (header->local) {
                health_check = true;
            } else {
                address = header->source;
                port = header->source_port;
            }
            if (!slot.Claim(address)) {
                Refuse(conn->socket, conn->transport, address, port, Refusal::kTooManyConnections,
                       "refused: too many connections");
                co_return;
            }
        }

        if (transport == Transport::kTls) {
            bool ok = co_await Handshake(*conn, address, port, early);
            if (!ok) {
                co_return;
            }
            early.clear();
        }

        std::string command = "-";
        std::string result;
        Tally tally;
        try {
            result = co_await exchange->Run(*conn, address, early, command, tally);
        } catch (const std::exception& e) {
            SendNow(*conn, PlainReply(records::kGeneralError));
            result = std::string("GENERALERROR: ") + e.what();
            tally.result = ExchangeResult::kError;
        }
        if (tally.result) {
            auto took = tally.request_complete == std::chrono::steady_clock::time_point{}
                            ? std::chrono::steady_clock::duration::zero()
                            : std::chrono::steady_clock::now() - tally.request_complete;
            metrics.Exchange(tally.command, *tally.result, took);
            metrics.Carried(transport);
        }
        // Logged before the close, so the line exists once the client sees the end.
        if (!health_check || tally.result) {
            Log(address, port, command, result);
        }
        Finish(*conn);
    }

    // Members go from the bottom up, and that is the order of a stop: first
    // what reads the exchange, then the exchange, then the lanes, then the
    // state the lanes' connections give back on their way out.
    ServerConfig config;
    Directory& directory;
    Metrics metrics;
    std::unique_ptr<asio::ssl::context> tls_context;
    std::mutex slots_mutex;
    std::unordered_map<std::string, int> per_address;
    int open_connections = 0;
    bool started = false;
    // Connections still suspended here are destroyed with their context and
    // release their slots above.
    std::vector<std::unique_ptr<Lane>> lanes;
    std::vector<std::thread> threads;
    // Below the lanes because every store job it holds waits with a timer of
    // a lane's context: its threads are joined and its queue emptied while
    // the contexts and their timer services still exist. The connections
    // left in the lanes point to it only from frames that are destroyed,
    // never resumed.
    std::unique_ptr<ExchangeHandler> exchange;
    std::unique_ptr<MetricsEndpoint> metrics_endpoint;
};

Server::Server(ServerConfig config, Directory& directory)
    : impl_(std::make_unique<Impl>(std::move(config), directory)) {}

Server::~Server() {
    Stop();
}

void Server::Start() {
    Impl& s = *impl_;
    if (s.started) {
        return;
    }
    std::error_code ec;
    asio::ip::address address = asio::ip::make_address(s.config.listen_address, ec);
    if (ec) {
        throw std::system_error(ec, "not an address to listen on: " + s.config.listen_address);
    }
    bool tls = !s.config.tls_certificate.empty();
    if (!s.config.plain && !tls) {
        throw std::runtime_error("neither the plain nor the TLS listener is on");
    }
    if (tls) {
        s.tls_context = MakeServerTlsContext(s.config.tls_certificate, s.config.tls_key);
    }
    int lanes = std::max(1, s.config.io_threads);
    for (int i = 0; i < lanes; ++i) {
        s.lanes.push_back(std::make_unique<Impl::Lane>());
    }
    // Every lane listens on a socket of its own, all bound to the same port
    // with SO_REUSEPORT, and the kernel spreads new connections over them.
    // Lanes sharing one socket would all wake for each connection and all
    // but one find nothing to accept: on a small machine that herd cost
    // more than the exchange itself.
    auto listen = [&](std::uint16_t port, tcp::acceptor Impl::Lane::*which) {
        tcp::endpoint endpoint(address, port);
        try {
            // Shared ports would also let a second server on the same port
            // start and take half its connections: the port is first bound
            // alone, which fails while anybody else listens on it, and
            // that socket's port (the free one picked for 0) is then shared
            // by the lanes.
            {
                tcp::acceptor claim(s.lanes.front()->io);
                claim.open(endpoint.protocol());
                claim.set_option(tcp::acceptor::reuse_address(true));
                claim.bind(endpoint);
                endpoint.port(claim.local_endpoint().port());
            }
            for (auto& lane : s.lanes) {
                tcp::acceptor& acceptor = lane.get()->*which;
                acceptor.open(endpoint.protocol());
                acceptor.set_option(tcp::acceptor::reuse_address(true));
                int on = 1;
                if (::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_REUSEPORT, &on,
                                 sizeof on) != 0) {
                    throw std::system_error(errno, std::system_category());
                }
                acceptor.bind(endpoint);
                acceptor.listen(asio::socket_base::max_listen_connections);
            }
        } catch (const std::system_error& e) {
            s.lanes.clear();
            throw std::system_error(e.code(), "cannot listen on " + s.config.listen_address +
                                                  " port " + std::to_string(port));
        }
    };
    if (s.config.plain) {
        listen(s.config.port, &Impl::Lane::acceptor);
    }
    if (tls) {
        listen(s.config.tls_port, &Impl::Lane::tls_acceptor);
    }
    s.exchange->Start();
    if (!s.config.metrics_address.empty()) {
        s.metrics.sessions_online = [&s] { return s.exchange->SessionsOnline(); };
        s.metrics.password_checks_waiting = [&s] { return s.exchange->PasswordChecksWaiting(); };
        s.metrics.connections_open = [&s] {
            std::lock_guard lock(s.slots_mutex);
            return static_cast<std::int64_t>(s.open_connections);
        };
        s.metrics_endpoint = std::make_unique<MetricsEndpoint>(
            s.config.metrics_address, s.config.metrics_port, [&s] { return s.metrics.Text(); },
            [&s] { return s.exchange->Healthy(); });
        try {
            s.metrics_endpoint->Start();
        } catch (...) {
            s.metrics_endpoint.reset();
            s.exchange->Stop();
            s.lanes.clear();
            throw;
        }
    }
    for (auto& lane : s.lanes) {
        if (lane->acceptor.is_open()) {
            asio::co_spawn(lane->io, s.AcceptLoop(*lane, lane->acceptor, Transport::kPlain),
                           asio::detached);
        }
        if (lane->tls_acceptor.is_open()) {
            asio::co_spawn(lane->io, s.AcceptLoop(*lane, lane->tls_acceptor, Transport::kTls),
                           asio::detached);
        }
        s.threads.emplace_back([l = lane.get()] { l->io.run(); });
    }
    s.started = true;
}

void Server::Stop() {
    Impl& s = *impl_;
    if (!s.started) {
        return;
    }
    s.started = false;
    for (auto& lane : s.lanes) {
        lane->io.stop();
    }
    for (auto& t : s.threads) {
        t.join();
    }
    s.threads.clear();
    for (auto& lane : s.lanes) {
        std::error_code ec;
        lane->acceptor.close(ec);
        lane->tls_acceptor.close(ec);
    }
    // The connections' contexts are stopped but still exist: work that
    // finishes now posts its answer into a context that drops it.
    s.exchange->Stop();
    if (s.metrics_endpoint) {
        s.metrics_endpoint->Stop();
        s.metrics_endpoint.reset();
    }
}

std::uint16_t Server::metrics_port() const {
    return impl_->metrics_endpoint ? impl_->metrics_endpoint->port() : 0;
}

std::uint16_t Server::port() const {
    std::error_code ec;
    return impl_->lanes.empty() || !impl_->lanes.front()->acceptor.is_open()
               ? 0
               : impl_->lanes.front()->acceptor.local_endpoint(ec).port();
}

std::uint16_t Server::tls_port() const {
    std::error_code ec;
    return impl_->lanes.empty() || !impl_->lanes.front()->tls_acceptor.is_open()
               ? 0
               : impl_->lanes.front()->tls_acceptor.local_endpoint(ec).port();
}

}  // namespace kestrona::server
