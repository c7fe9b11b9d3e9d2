// The network side: accepts connections, greets, reads one request, answers
// and closes. Runs its own threads between Start and Stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/directory.h"

namespace kestrona::server {

struct ServerConfig {
    std::string listen_address = "0.0.0.0";
    std::uint16_t port = 10004;  // 0 picks a free port (tests)
    // A connection must deliver its whole request within this time.
    std::chrono::milliseconds idle_timeout{5000};
    int max_per_address = 64;  // 0: no limit
    int max_connections = 4096;
    int io_threads = 1;
    int hash_threads = 1;
    // Password checks waiting for a hash thread; more are answered
    // GENERALERROR at once, so a flood of logins cannot queue without end.
    int max_pending_hashes = 32;
    // Receives one line per exchange; nothing is logged when empty.
    std::function<void(std::string_view)> log;
};

class Server {
  public:
    Server(ServerConfig config, Directory& directory);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts serving; throws std::system_error when it cannot bind.
    void Start();
    // Stops accepting, drops open connections and joins every thread.
    void Stop();
    std::uint16_t port() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrona::server
