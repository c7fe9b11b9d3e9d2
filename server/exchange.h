// The exchange: one request read from an admitted connection, the store
// work it needs done on the store's own threads within its deadline, and the
// reply. Owns the threads that do store work and password checks.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "server/connection.h"
#include "server/directory.h"
#include "server/keepalive_batcher.h"
#include "server/limits.h"
#include "server/metrics.h"
#include "server/server.h"
#include "server/store_executor.h"

namespace kestrona::server {

class ExchangeHandler {
  public:
    ExchangeHandler(const ServerConfig& config, Directory& directory, Metrics& metrics);
    ~ExchangeHandler();
    ExchangeHandler(const ExchangeHandler&) = delete;
    ExchangeHandler& operator=(const ExchangeHandler&) = delete;

    // Starts the store and password threads.
    void Start();
    // Refuses queued work and joins the threads; every answer still due is
    // posted to its connection's context, which must exist until then.
    void Stop();

    // Greets, reads one request and answers it; returns the log text.
    asio::awaitable<std::string> Run(Connection& conn, const std::string& address,
                                     const Bytes& early, std::string& command, Tally& tally);

    // For the health check and the scrape; neither waits on the database.
    bool Healthy() const { return store_work_ && store_work_->Healthy(); }
    std::int64_t SessionsOnline() const { return sessions_online_.load(); }
    std::int64_t PasswordChecksWaiting() const {
        return hash_work_ ? static_cast<std::int64_t>(hash_work_->InFlight()) : 0;
    }

  private:
    struct StoreAnswer {
        enum Status { kDone, kBusy, kLate } status = kLate;
        Outcome outcome;
    };
    using Answer = std::function<void(std::optional<Outcome>)>;

    Outcome Admit(const Request& request, const std::string& address,
                  std::optional<Throttle>& throttled);
    asio::awaitable<StoreAnswer> Await(SteadyTime deadline,
                                       const std::function<bool(Answer)>& submit);
    asio::awaitable<StoreAnswer> OnStore(StoreExecutor& work, SteadyTime deadline,
                                         std::function<Outcome()> task);
    asio::awaitable<StoreAnswer> LookUp(const QueryRequest& request, SteadyTime deadline);
    asio::awaitable<StoreAnswer> KeepAlive(const LiveRequest& request, const std::string& address,
                                           SteadyTime deadline);

    const ServerConfig& config_;
    Directory& directory_;
    Metrics& metrics_;
    AbuseLimits limits_;
    std::unique_ptr<StoreExecutor> store_work_;
    std::unique_ptr<StoreExecutor> hash_work_;
    std::unique_ptr<KeepAliveBatcher> batcher_;
    std::atomic<std::int64_t> sessions_online_{0};
    std::atomic<int> probes_{0};
};

}  // namespace kestrona::server
