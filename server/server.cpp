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

#include "server/records.h"
#include "server/reply.h"
#include "server/request.h"

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

// What an unrecognised request began with, safe to print.
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

// Replies are small and go out on a fresh connection, so they always fit the
// send buffer; a peer that does not read can never hold a write open.
bool SendNow(tcp::socket& socket, const Bytes& bytes) {
    ssize_t sent =
        ::send(socket.native_handle(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(bytes.size());
}

// unread: bytes may be waiting that the exchange did not take.
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

struct Connection {
    explicit Connection(tcp::socket s) : socket(std::move(s)), deadline(socket.get_executor()) {}
    tcp::socket socket;
    asio::steady_timer deadline;
    bool timed_out = false;
    bool unread = true;  // cleared once exactly one whole record was read
};

}  // namespace

struct Server::Impl {
    Impl(ServerConfig c, Directory& d) : config(std::move(c)), directory(d) {}

    // Holds one connection slot for its address until the connection ends.
    class Slot {
      public:
        Slot(Impl* impl, std::string address) : impl_(impl), address_(std::move(address)) {}
        Slot(Slot&& other) noexcept
            : impl_(std::exchange(other.impl_, nullptr)), address_(std::move(other.address_)) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot() {
            if (impl_) {
                impl_->Release(address_);
            }
        }

      private:
        Impl* impl_;
        std::string address_;
    };

    bool Reserve(const std::string& address) {
        std::lock_guard lock(slots_mutex);
        if (config.max_connections > 0 && open_connections >= config.max_connections) {
            return false;
        }
        int& count = per_address[address];
        if (config.max_per_address > 0 && count >= config.max_per_address) {
            if (count == 0) {
                per_address.erase(address);
            }
            return false;
        }
        ++count;
        ++open_connections;
        return true;
    }

    void Release(const std::string& address) {
        std::lock_guard lock(slots_mutex);
        --open_connections;
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

    // Each thread runs a lane: its own context and acceptor, so a connection
    // never moves between threads and its timer and reads never overlap.
    struct Lane {
        asio::io_context io{1};
        tcp::acceptor acceptor{io};
    };

    asio::awaitable<void> AcceptLoop(Lane& lane) {
        for (;;) {
            std::error_code ec;
            tcp::endpoint remote;
            tcp::socket socket = co_await lane.acceptor.async_accept(
                remote, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                if (!lane.acceptor.is_open() || ec == asio::error::operation_aborted) {
                    co_return;
                }
                // Out of descriptors or memory: wait for connections to end
                // rather than spin on the failing accept.
                asio::steady_timer pause(lane.io, std::chrono::milliseconds(50));
                co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
                continue;
            }
            Admit(std::move(socket), remote);
        }
    }

    void Admit(tcp::socket socket, const tcp::endpoint& remote) {
        std::string address = PeerAddress(remote);
        if (!Reserve(address)) {
            SendNow(socket, PlainReply(records::kGeneralError));
            Finish(socket, true);
            Log(address, remote.port(), "-", "refused: too many connections");
            return;
        }
        auto executor = socket.get_executor();
        asio::co_spawn(executor,
                       Serve(std::move(socket), address, remote.port(), Slot(this, address)),
                       asio::detached);
    }

    asio::awaitable<void> Serve(tcp::socket socket, std::string address, std::uint16_t port,
                                Slot slot) {
        (void)slot;
        auto conn = std::make_shared<Connection>(std::move(socket));
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

        std::string command = "-";
        std::string result;
        try {
            result = co_await Exchange(*conn, address, command);
        } catch (const std::exception& e) {
            SendNow(conn->socket, PlainReply(records::kGeneralError));
            result = std::string("GENERALERROR: ") + e.what();
        }
        // Logged before the close, so the line exists once the client sees the end.
        Log(address, port, command, result);
        Finish(conn->socket, conn->unread);
    }

    // Runs one exchange on an open connection; returns the log text.
    asio::awaitable<std::string> Exchange(Connection& conn, const std::string& address,
                                          std::string& command) {
        if (!SendNow(conn.socket, AcceptGreeting())) {
            co_return "closed before the greeting";
        }
        // Larger than any record, so an oversized one shows as such; nothing
        // beyond it is ever read.
        std::array<std::uint8_t, 256> buffer;
        std::size_t received = 0;
        ScanResult scan;
        while (!conn.timed_out) {
            std::error_code ec;
            std::size_t n = co_await conn.socket.async_read_some(
                asio::buffer(buffer.data() + received, buffer.size() - received),
                asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                break;
            }
            received += n;
            scan = ScanRequest({buffer.data(), received});
            if (scan.status != ScanStatus::kNeedMore) {
                break;
            }
        }
        std::span<const std::uint8_t> data(buffer.data(), received);
        auto general_error = [&](std::string why) {
            SendNow(conn.socket, PlainReply(records::kGeneralError));
            return "GENERALERROR: " + why;
        };
        if (received == 0) {
            co_return conn.timed_out ? "closed: nothing sent in time" : "closed: nothing sent";
        }
        switch (scan.status) {
            case ScanStatus::kNeedMore:
                command = Printable(data);
                co_return general_error("incomplete record of " + std::to_string(received) +
                                        " bytes");
            case ScanStatus::kUnknownCommand:
                command = Printable(data);
                co_return general_error("unknown command");
            case ScanStatus::kWrongSize:
                command = CommandName(scan.command);
                co_return general_error("wrong size, more than " + std::to_string(scan.size) +
                                        " bytes");
            case ScanStatus::kComplete:
                break;
        }
        command = CommandName(scan.command);
        conn.unread = false;
        DecodeResult decoded = DecodeRequest(data);
        if (decoded.status != DecodeStatus::kOk) {
            co_return general_error("text without its terminating zero");
        }
        Outcome outcome;
        if (directory.IsSlow(decoded.request)) {
            if (pending_hashes.fetch_add(1) >= config.max_pending_hashes) {
                pending_hashes.fetch_sub(1);
                co_return general_error("busy: too many password checks waiting");
            }
            struct Done {
                std::atomic<int>& n;
                ~Done() { n.fetch_sub(1); }
            } done{pending_hashes};
            outcome = co_await asio::co_spawn(
                pool->get_executor(),
                [&]() -> asio::awaitable<Outcome> {
                    co_return directory.Handle(decoded.request, address);
                },
                asio::use_awaitable);
        } else {
            outcome = directory.Handle(decoded.request, address);
        }
        if (!outcome.reply.empty() && !SendNow(conn.socket, outcome.reply)) {
            outcome.result += " (reply not delivered)";
        }
        co_return outcome.result;
    }

    ServerConfig config;
    Directory& directory;
    std::mutex slots_mutex;
    std::unordered_map<std::string, int> per_address;
    int open_connections = 0;
    std::atomic<int> pending_hashes{0};
    std::unique_ptr<asio::thread_pool> pool;
    std::vector<std::thread> threads;
    bool started = false;
    // Last, so that connections still pending are destroyed before the state above.
    std::vector<std::unique_ptr<Lane>> lanes;
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
    tcp::endpoint endpoint(address, s.config.port);
    int lanes = std::max(1, s.config.io_threads);
    try {
        auto first = std::make_unique<Impl::Lane>();
        first->acceptor.open(endpoint.protocol());
        first->acceptor.set_option(tcp::acceptor::reuse_address(true));
        first->acceptor.bind(endpoint);
        first->acceptor.listen(asio::socket_base::max_listen_connections);
        s.lanes.push_back(std::move(first));
        // The other lanes take from the same queue of waiting connections
        // through a copy of the descriptor: an idle thread serves whatever
        // arrives, and a busy or descheduled one holds nothing up.
        for (int i = 1; i < lanes; ++i) {
            int fd = ::dup(s.lanes.front()->acceptor.native_handle());
            if (fd < 0) {
                throw std::system_error(errno, std::system_category());
            }
            auto lane = std::make_unique<Impl::Lane>();
            lane->acceptor.assign(endpoint.protocol(), fd);
            s.lanes.push_back(std::move(lane));
        }
    } catch (const std::system_error& e) {
        s.lanes.clear();
        throw std::system_error(e.code(), "cannot listen on " + s.config.listen_address + " port " +
                                              std::to_string(s.config.port));
    }
    s.pool = std::make_unique<asio::thread_pool>(std::max(1, s.config.hash_threads));
    for (auto& lane : s.lanes) {
        asio::co_spawn(lane->io, s.AcceptLoop(*lane), asio::detached);
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
    }
    s.pool->stop();
    s.pool->join();
}

std::uint16_t Server::port() const {
    std::error_code ec;
    return impl_->lanes.empty() ? 0 : impl_->lanes.front()->acceptor.local_endpoint(ec).port();
}

}  // namespace kestrona::server
