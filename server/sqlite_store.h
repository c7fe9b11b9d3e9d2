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
    // Opens or creates the database; throws std::runtime_error when it cannot.
    explicit SqliteStore(const std::string& path);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    AddResult AddSubscriber(const NewSubscriber& subscriber, std::int32_t first_number) override;
    std::optional<std::string> PasswordHash(std::int32_t number) override;
    bool AddCallReport(const CallReport& report) override;

  private:
    void Close();
    void Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);

    std::mutex mutex_;  // one connection, used by every thread in turn
    sqlite3* db_ = nullptr;
    sqlite3_stmt* max_number_ = nullptr;
    sqlite3_stmt* insert_subscriber_ = nullptr;
    sqlite3_stmt* find_hash_ = nullptr;
    sqlite3_stmt* insert_report_ = nullptr;
};

}  // namespace kestrona::server
