#include "server/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <limits>
#include <stdexcept>

namespace kestrona::server {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS subscribers (
    number INTEGER PRIMARY KEY,
    name BLOB NOT NULL,
    password_hash TEXT NOT NULL,
    email BLOB NOT NULL,
    email_key BLOB NOT NULL UNIQUE,
    country BLOB NOT NULL,
    city BLOB NOT NULL,
    registered_at INTEGER NOT NULL,
    registered_from TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS call_reports (
    id INTEGER PRIMARY KEY,
    reported_at INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    other INTEGER NOT NULL,
    own INTEGER NOT NULL,
    seconds INTEGER NOT NULL,
    reported_from TEXT NOT NULL
);
)sql";

// Only ASCII letters fold: the rest of a code page 936 address is kept byte for byte.
std::string EmailKey(const std::string& email) {
    std::string key = email;
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return key;
}

void BindBlob(sqlite3_stmt* stmt, int index, const std::string& bytes) {
    sqlite3_bind_blob(stmt, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

struct Resetter {
    sqlite3_stmt* stmt;
    ~Resetter() {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
};

}  // namespace

SqliteStore::SqliteStore(const std::string& path) {
    int rc =
        sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open database " + path + ": " + why);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        Exec("PRAGMA journal_mode=WAL");
        // Under WAL a commit survives a crash of the process; NORMAL only risks
        // the last commits on a power loss, and keeps registrations fast.
        Exec("PRAGMA synchronous=NORMAL");
        Exec(kSchema);
        max_number_ = Prepare("SELECT max(number) FROM subscribers");
        insert_subscriber_ = Prepare(
            "INSERT INTO subscribers (number, name, password_hash, email, email_key, country, "
            "city, registered_at, registered_from) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
        find_hash_ = Prepare("SELECT password_hash FROM subscribers WHERE number = ?1");
        insert_report_ = Prepare(
            "INSERT INTO call_reports (reported_at, kind, other, own, seconds, reported_from) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    } catch (...) {
        Close();
        throw;
    }
}

SqliteStore::~SqliteStore() {
    Close();
}

void SqliteStore::Close() {
    for (sqlite3_stmt* stmt : {max_number_, insert_subscriber_, find_hash_, insert_report_}) {
        sqlite3_finalize(stmt);
    }
    max_number_ = insert_subscriber_ = find_hash_ = insert_report_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
}

void SqliteStore::Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string why = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("database: " + why);
    }
}

sqlite3_stmt* SqliteStore::Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    }
    return stmt;
}

AddResult SqliteStore::AddSubscriber(const NewSubscriber& s, std::int32_t first_number) {
    std::lock_guard lock(mutex_);
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return {AddStatus::kFailed, 0};
    }
    AddResult result{AddStatus::kFailed, 0};
    std::int64_t next = first_number;
    {
        Resetter reset{max_number_};
        if (sqlite3_step(max_number_) == SQLITE_ROW &&
            sqlite3_column_type(max_number_, 0) != SQLITE_NULL) {
            next = std::max<std::int64_t>(next, sqlite3_column_int64(max_number_, 0) + 1);
        }
    }
    if (next > std::numeric_limits<std::int32_t>::max() || next <= 0) {
        result.status = AddStatus::kNumbersExhausted;
    } else {
        Resetter reset{insert_subscriber_};
        sqlite3_bind_int64(insert_subscriber_, 1, next);
        BindBlob(insert_subscriber_, 2, s.name);
        BindText(insert_subscriber_, 3, s.password_hash);
        BindBlob(insert_subscriber_, 4, s.email);
        BindBlob(insert_subscriber_, 5, EmailKey(s.email));
        BindBlob(insert_subscriber_, 6, s.country);
        BindBlob(insert_subscriber_, 7, s.city);
        sqlite3_bind_int64(insert_subscriber_, 8, static_cast<std::int64_t>(std::time(nullptr)));
        BindText(insert_subscriber_, 9, s.registered_from);
        int rc = sqlite3_step(insert_subscriber_);
        if (rc == SQLITE_DONE) {
            result = {AddStatus::kAdded, static_cast<std::int32_t>(next)};
        } else if (sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_UNIQUE) {
            result.status = AddStatus::kEmailTaken;
        }
    }
    const char* end = result.status == AddStatus::kAdded ? "COMMIT" : "ROLLBACK";
    if (sqlite3_exec(db_, end, nullptr, nullptr, nullptr) != SQLITE_OK &&
        result.status == AddStatus::kAdded) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        result = {AddStatus::kFailed, 0};
    }
    return result;
}

std::optional<std::string> SqliteStore::PasswordHash(std::int32_t number) {
    std::lock_guard lock(mutex_);
    Resetter reset{find_hash_};
    sqlite3_bind_int64(find_hash_, 1, number);
    if (sqlite3_step(find_hash_) != SQLITE_ROW) {
        return std::nullopt;
    }
    const auto* text = sqlite3_column_text(find_hash_, 0);
    int size = sqlite3_column_bytes(find_hash_, 0);
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

bool SqliteStore::AddCallReport(const CallReport& r) {
    std::lock_guard lock(mutex_);
    Resetter reset{insert_report_};
    sqlite3_bind_int64(insert_report_, 1, static_cast<std::int64_t>(std::time(nullptr)));
    sqlite3_bind_int(insert_report_, 2, r.kind);
    sqlite3_bind_int(insert_report_, 3, r.other);
    sqlite3_bind_int(insert_report_, 4, r.own);
    sqlite3_bind_int(insert_report_, 5, r.seconds);
    BindText(insert_report_, 6, r.reported_from);
    return sqlite3_step(insert_report_) == SQLITE_DONE;
}

}  // namespace kestrona::server
