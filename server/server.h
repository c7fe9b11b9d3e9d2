// The network side: accepts connections, greets, reads one request, answers
// and closes. Runs its own threads between Start and Stop. The front door
// (admission, balancer headers, idle and per-address limits) is server.cpp;
// the exchange of one request for its reply is exchange.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/directory.h"
#include "server/limits.h"
#include "server/proxy_header.h"

namespace kestrona::server {

struct ServerConfig {
    std::string listen_address = "0.0.0.0";
    std::uint16_t port = 10004;  // 0 picks a free port (tests)
    // Whether to listen on port at all: a site whose phones all speak TLS
    // may switch the plain listener off.
    bool plain = true;
    // The second listener: the same exchanges inside TLS 1.2 or 1.3, with
    // this PEM certificate chain and key. Empty certificate: no such
    // listener. A balancer's PROXY header comes before the handshake.
    std::string tls_certificate;
    std::string tls_key;
    std::uint16_t tls_port = 10005;  // 0 picks a free port (tests)
    // A connection must deliver its whole request within this time.
    std::chrono::milliseconds idle_timeout{5000};
    int max_per_address = 64;  // 0: no limit
    int max_connections = 4096;
    int io_threads = 1;
    int hash_threads = 1;
    // Threads that do the store work of every other request.
    int store_threads = 4;
    // Requests waiting for or in store work; more are answered GENERALERROR.
    std::size_t store_queue = 1024;
    // Every request is answered within this time of its arrival: work the
    // database has not finished by then is answered GENERALERROR, which a
    // phone takes as "try again".
    std::chrono::milliseconds request_deadline{2000};
    // Password checks waiting for a hash thread; more are answered
    // GENERALERROR at once, so a flood of logins cannot queue without end.
    int max_pending_hashes = 32;
    // Connections from these addresses are a load balancer's: each must
    // begin with a PROXY header, whose client address then counts everywhere.
    // A header from any other address is refused.
    AddressRanges trusted_proxies;
    // Refuse connections that do not come through a trusted balancer.
    bool proxy_only = false;
    LimitsConfig limits;
    // Sent in the login refusal that a throttled login gets.
    std::int32_t live_period_s = 60;
    // Where to serve the counters for a scraper; empty: nowhere.
    std::string metrics_address;
    std::uint16_t metrics_port = 0;  // 0 picks a free port (tests)
    // Receives one line per exchange; nothing is logged when empty.
    std::function<void(std::string_view)> log;
};

class Server {
  public:
    Server(ServerConfig config, Directory& directory);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts serving; throws std::system_error when it cannot bind
    // and std::runtime_error when the TLS certificate or key is unusable.
    void Start();
    // Stops accepting, drops open connections and joins every thread.
    void Stop();
    // The plain listener's port; 0 when it is switched off.
    std::uint16_t port() const;
    // The TLS listener's port; 0 when there is none.
    std::uint16_t tls_port() const;
    // The port of the metrics listener; 0 when there is none.
    std::uint16_t metrics_port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrona::server
