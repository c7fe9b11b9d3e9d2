// Where subscribers, call reports and the sessions of logged-in phones are
// kept. SQLite (one process) and PostgreSQL (any number of instances)
// implement it; every method is safe to call from several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrona::server {

// The schema both backends create and upgrade to at start. Version 1 is the
// subscribers and call reports of the first server (whose files have no
// version table); version 2 adds the shared sessions; version 5 the relayed
// address of a session; version 6 its wish to appear offline to presence
// look-ups.
constexpr int kSchemaVersion = 6;

struct NewSubscriber {
    std::string name;  // texts exactly as the client sent them (code page 936)
    std::string password_hash;
    std::string email;
    std::string country;
    std::string city;
    std::string registered_from;  // peer address
};

// A subscriber as stored, for administration and migration.
struct SubscriberRow {
    std::int32_t number = 0;
    NewSubscriber data;
    std::int64_t registered_at = 0;  // seconds since the epoch
};

struct CallReport {
    std::int32_t kind = 0;
    std::int32_t other = 0;
    std::int32_t own = 0;
    std::int32_t seconds = 0;
    std::string reported_from;
    std::int64_t reported_at = 0;  // seconds since the epoch; 0: now
};

enum class AddStatus { kAdded, kEmailTaken, kNumbersExhausted, kFailed };

struct AddResult {
    AddStatus status = AddStatus::kFailed;
    std::int32_t number = 0;
};

// Session times are wall-clock milliseconds since the epoch, so that every
// instance and every restart of the server reads them alike.
struct SessionRow {
    std::int32_t number = 0;
    std::string address;
    std::int32_t port = 0;
    std::int64_t last_seen_ms = 0;
    // Where callers reach the phone through a relay; port 0: nowhere, the
    // phone is called at address and port.
    std::string relay_address;
    std::int32_t relay_port = 0;
    // Appears offline to presence look-ups; calls reach it all the same.
    bool hidden = false;
};

// What a keep-alive, logout or port change found. kFailed: the database did
// not answer.
enum class SessionStatus { kDone, kNoSession, kOtherAddress, kFailed };

// One entry of the abuse limits' shared state: a short text that may be
// dropped after expires_ms. An empty value is no entry.
struct LimitEntry {
    std::string value;
    std::int64_t expires_ms = 0;
    bool changed = false;  // set by whoever changes it, to have it written
};

// What a store that talks to a database server saw of it, for an operator.
struct DatabaseCounters {
    // Connections opened again after one broke or met a read-only server.
    std::atomic<std::uint64_t> reconnects{0};
    // Times a reopened connection reached another server than the last one
    // (its address and port as the server sees itself): a failover.
    std::atomic<std::uint64_t> failovers{0};
    // Store calls refused at once or after their deadline because no
    // connection was ready.
    std::atomic<std::uint64_t> refused{0};
};

class SubscriberStore {
  public:
    virtual ~SubscriberStore() = default;

    // Gives the next free number, never below first_number. E-mail addresses
    // are unique regardless of the case of their letters.
    virtual AddResult AddSubscriber(const NewSubscriber& subscriber, std::int32_t first_number) = 0;
    // The encoded password hash of a number, or nothing if it is not registered.
    virtual std::optional<std::string> PasswordHash(std::int32_t number) = 0;
    virtual bool AddCallReport(const CallReport& report) = 0;

    // Sessions. A session counts only while last_seen_ms >= alive_since_ms;
    // an older one is treated as absent even before it is swept away.
    virtual bool PutSession(const SessionRow& session) = 0;
    virtual std::optional<SessionRow> FindSession(std::int32_t number,
                                                  std::int64_t alive_since_ms) = 0;
    // Refreshes the session of number if it is alive and belongs to address.
    virtual SessionStatus TouchSession(std::int32_t number, const std::string& address,
                                       std::int64_t now_ms, std::int64_t alive_since_ms) = 0;
    // Many keep-alives at once, one status each in order: one statement
    // where the database allows. The default touches them one by one.
    struct Touch {
        std::int32_t number = 0;
        std::string address;
    };
    virtual std::vector<SessionStatus> TouchSessions(const std::vector<Touch>& touches,
                                                     std::int64_t now_ms,
                                                     std::int64_t alive_since_ms);
    // Many look-ups at once, one answer each in order; the default finds
    // them one by one.
    virtual std::vector<std::optional<SessionRow>> FindSessions(
        const std::vector<std::int32_t>& numbers, std::int64_t alive_since_ms);
    virtual SessionStatus ChangeSessionPort(std::int32_t number, const std::string& address,
                                            std::int32_t port, std::int64_t alive_since_ms) = 0;
    // Sets the relayed address of number's session if it is alive and
    // belongs to address; a login clears it, keep-alives and port changes
    // leave it.
    virtual SessionStatus SetSessionRelay(std::int32_t number, const std::string& address,
                                          const std::string& relay_address, std::int32_t relay_port,
                                          std::int64_t alive_since_ms) = 0;
    // Sets whether number's session, if alive and from address, appears
    // offline to presence look-ups; a login clears it, keep-alives, port
    // changes and relayed addresses leave it.
    virtual SessionStatus SetSessionHidden(std::int32_t number, const std::string& address,
                                           bool hidden, std::int64_t alive_since_ms) = 0;
    // Logout: removes the session of number if it belongs to address.
    virtual SessionStatus RemoveSession(std::int32_t number, const std::string& address) = 0;
    // Removes sessions last seen before alive_since_ms, unless another caller
    // (another instance on the same database) swept within every_ms; so the
    // work is done once per period whichever instance comes first. Returns
    // the number removed.
    virtual std::size_t SweepSessions(std::int64_t now_ms, std::int64_t alive_since_ms,
                                      std::int64_t every_ms) = 0;
    virtual std::vector<SessionRow> ListSessions(std::int64_t alive_since_ms) = 0;
    virtual std::size_t CountSessions(std::int64_t alive_since_ms) = 0;

    // Administration and migration.
    virtual bool SetPasswordHash(std::int32_t number, const std::string& hash) = 0;
    // Removes the subscriber and its session; false when there is none. The
    // number is retired, never to be given out again: others may still have
    // it in their phone books.
    virtual bool RemoveSubscriber(std::int32_t number) = 0;
    virtual std::vector<std::int32_t> RetiredNumbers() = 0;
    virtual bool RetireNumber(std::int32_t number) = 0;
    virtual std::vector<SubscriberRow> Subscribers() = 0;
    virtual std::vector<CallReport> CallReports() = 0;
    // Stores a subscriber under its own number; false if the number or the
    // e-mail address is taken.
    virtual bool ImportSubscriber(const SubscriberRow& row) = 0;
    // The schema version the database is at.
    virtual int SchemaVersion() = 0;

    // Everything a migration copies, stored in one transaction: all of it or,
    // with the reason in *error, nothing.
    struct Snapshot {
        std::vector<SubscriberRow> subscribers;
        std::vector<std::int32_t> retired;
        std::vector<CallReport> reports;
        std::vector<SessionRow> sessions;
    };
    virtual bool ImportAll(const Snapshot& snapshot, std::string* error) = 0;

    // Reads the limit entries of keys (empty ones where there are none),
    // lets change rewrite them, and writes those it marked changed: one
    // atomic step for every instance that shares the store. Entries expired
    // at now_ms read as empty. False when the database could not be asked.
    // The default keeps them in memory (test doubles).
    virtual bool UpdateLimits(const std::vector<std::string>& keys, std::int64_t now_ms,
                              const std::function<void(std::vector<LimitEntry>&)>& change);

    // A cheap round trip: true when the database answers. Health checks.
    virtual bool Ping() { return SchemaVersion() > 0; }
    // For shutdown: breaks off calls waiting on the database (their
    // connections are closed under them) and fails every later call at once.
    virtual void Interrupt() {}
    // Null for a store that keeps no connections (a file).
    virtual const DatabaseCounters* database_counters() const { return nullptr; }

  private:
    std::mutex limits_mutex_;
    std::map<std::string, LimitEntry> limits_;
};

}  // namespace kestrona::server
