// The embedded SQLite store: one file, WAL journal.
#pragma once

#include <mutex>
#include <string>

#include "server/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kestrona::server {

class SqliteStore final : public SubscriberStore {
  public:
    // Opens or creates the database and brings its schema up to date; throws
    // std::runtime_error when it cannot.
    explicit SqliteStore(const std::string& path);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

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
    bool ImportAll(const Snapshot& snapshot, std::string* error) override;
    bool UpdateLimits(const std::vector<std::string>& keys, std::int64_t now_ms,
                      const std::function<void(std::vector<LimitEntry>&)>& change) override;

  private:
    void Close();
    // The statements behind the methods of the same names, under the lock.
    bool InsertSubscriberLocked(const SubscriberRow& row);
    bool InsertReportLocked(const CallReport& report);
    bool PutSessionLocked(const SessionRow& session);
    std::optional<SessionRow> FindSessionLocked(std::int32_t number, std::int64_t alive_since_ms);
    void Exec(const char* sql);
    void Upgrade();
    sqlite3_stmt* Prepare(const char* sql);
    // The address of a session that is alive, for telling "none" from
    // "someone else's" after a change found no row.
    SessionStatus WhyNoChange(std::int32_t number, std::int64_t alive_since_ms);

    std::mutex mutex_;  // one connection, used by every thread in turn
    std::uint64_t limit_updates_ = 0;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* max_number_ = nullptr;
    sqlite3_stmt* insert_subscriber_ = nullptr;
    sqlite3_stmt* find_hash_ = nullptr;
    sqlite3_stmt* insert_report_ = nullptr;
    sqlite3_stmt* put_session_ = nullptr;
    sqlite3_stmt* find_session_ = nullptr;
    sqlite3_stmt* touch_session_ = nullptr;
    sqlite3_stmt* change_port_ = nullptr;
    sqlite3_stmt* set_relay_ = nullptr;
    sqlite3_stmt* set_hidden_ = nullptr;
    sqlite3_stmt* begin_read_ = nullptr;
    sqlite3_stmt* end_read_ = nullptr;
    sqlite3_stmt* remove_session_ = nullptr;
    sqlite3_stmt* claim_sweep_ = nullptr;
    sqlite3_stmt* sweep_ = nullptr;
    sqlite3_stmt* count_sessions_ = nullptr;
};

}  // namespace kestrona::server
