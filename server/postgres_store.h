// The PostgreSQL store, for several server instances on one database. Each
// instance keeps small pools of connections with their statements prepared,
// so that a request costs one round trip on a connection that is ready.
// Keep-alives go through connections that do not wait for the disk at
// commit: one lost in a database crash costs nothing, since the next one
// writes it again. Subscribers, logins (the session row), reports and
// administration go through connections that wait for the commit, and with
// synchronous replication for the standby, before success is reported.
//
// A connection that breaks, or finds its server read-only (a primary
// demoted in a failover), is opened again in the background; until one is
// ready again calls fail at once rather than wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/store.h"

namespace kestrona::server {

class PostgresStore final : public SubscriberStore {
  public:
    // conninfo: a postgresql:// URI or libpq key=value text. connections:
    // the size of the session pool; the durable pool gets a quarter of it,
    // at least one. Opens the connections and brings the schema up to date;
    // throws
    // std::runtime_error when it cannot.
    PostgresStore(const std::string& conninfo, int connections);
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    AddResult AddSubscriber(const NewSubscriber& subscriber, std::int32_t first_number) override;
    std::optional<std::string> PasswordHash(std::int32_t number) override;
    bool AddCallReport(const CallReport& report) override;

    bool PutSession(const SessionRow& session) override;
    std::optional<SessionRow> FindSession(std::int32_t number,
                                          std::int64_t alive_since_ms) override;
    SessionStatus TouchSession(std::int32_t number, const std::string& address, std::int64_t now_ms,
                               std::int64_t alive_since_ms) override;
    SessionStatus ChangeSessionPort(std::int32_t number, const std::string& address,
                                    std::int32_t port, std::int64_t alive_since_ms) override;
    std::vector<std::optional<SessionRow>> FindSessions(const std::vector<std::int32_t>& numbers,
                                                        std::int64_t alive_since_ms) override;
    std::vector<SessionStatus> TouchSessions(const std::vector<Touch>& touches, std::int64_t now_ms,
                                             std::int64_t alive_since_ms) override;
    SessionStatus SetSessionRelay(std::int32_t number, const std::string& address,
                                  const std::string& relay_address, std::int32_t relay_port,
                                  std::int64_t alive_since_ms) override;
    SessionStatus SetSessionHidden(std::int32_t number, const std::string& address, bool hidden,
                                   std::int64_t alive_since_ms) override;
    SessionStatus RemoveSession(std::int32_t number, const std::string& address) override;
    std::size_t SweepSessions(std::int64_t now_ms, std::int64_t alive_since_ms,
                              std::int64_t every_ms) override;
    std::vector<SessionRow> ListSessions(std::int64_t alive_since_ms) override;
    std::size_t CountSessions(std::int64_t alive_since_ms) override;

    bool SetPasswordHash(std::int32_t number, const std::string& hash) override;
    bool RemoveSubscriber(std::int32_t number) override;
    std::vector<std::int32_t> RetiredNumbers() override;
    bool RetireNumber(std::int32_t number) override;
    std::vector<SubscriberRow> Subscribers() override;
    std::vector<CallReport> CallReports() override;
    bool ImportSubscriber(const SubscriberRow& row) override;
    int SchemaVersion() override;
    bool Ping() override;
    bool ImportAll(const Snapshot& snapshot, std::string* error) override;
    bool UpdateLimits(const std::vector<std::string>& keys, std::int64_t now_ms,
                      const std::function<void(std::vector<LimitEntry>&)>& change) override;
    void Interrupt() override;
    const DatabaseCounters* database_counters() const override { return &counters_; }

    class Connection;

  private:
    enum class Pool { kSessions = 0, kDurable = 1 };
    class Lease;
    Lease Acquire(Pool pool);
    void Release(std::unique_ptr<Connection> connection);
    // The background thread that opens broken connections again.
    void Reconnect();
    SessionStatus WhyNoChange(Connection& c, std::int32_t number, std::int64_t alive_since_ms);

    std::string conninfo_;
    std::mutex mutex_;
    std::condition_variable available_[2];
    std::vector<std::unique_ptr<Connection>> idle_[2];
    // In use, or being opened again: connections that will come back.
    std::vector<Connection*> leased_[2];
    std::vector<std::unique_ptr<Connection>> broken_;
    std::condition_variable repair_;
    bool interrupted_ = false;
    bool closing_ = false;
    std::atomic<std::uint64_t> limit_updates_{0};
    DatabaseCounters counters_;
    // The server that the last connection opened reached, as it names
    // itself; another one after a reconnect is a failover.
    std::string server_;
    std::thread reconnector_;
};

}  // namespace kestrona::server
