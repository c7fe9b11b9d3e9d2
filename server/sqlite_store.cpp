#include "server/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <stdexcept>

#include "server/schema.h"
#include "server/store_util.h"

namespace kestrona::server {

namespace {

void BindBlob(sqlite3_stmt* stmt, int index, const std::string& bytes) {
    // A zero-length blob would bind as NULL with a null pointer.
    sqlite3_bind_blob(stmt, index, bytes.data() ? bytes.data() : "", static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                : std::string();
}

struct Resetter {
    sqlite3_stmt* stmt;
    ~Resetter() {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
};

// A statement prepared for one use (administration, migration).
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
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
        Upgrade();
        max_number_ = Prepare(
            "SELECT max(n) FROM (SELECT max(number) AS n FROM subscribers UNION ALL "
            "SELECT max(number) FROM retired_numbers)");
        insert_subscriber_ = Prepare(
            "INSERT INTO subscribers (number, name, password_hash, email, email_key, country, "
            "city, registered_at, registered_from) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
        find_hash_ = Prepare("SELECT password_hash FROM subscribers WHERE number = ?1");
        insert_report_ = Prepare(
            "INSERT INTO call_reports (reported_at, kind, other, own, seconds, reported_from) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        put_session_ = Prepare(
            "INSERT INTO sessions (number, address, port, last_seen_ms, relay_address, "
            "relay_port, hidden) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7) ON CONFLICT (number) DO "
            "UPDATE SET address = excluded.address, port = excluded.port, last_seen_ms = "
            "excluded.last_seen_ms, relay_address = excluded.relay_address, relay_port = "
            "excluded.relay_port, hidden = excluded.hidden");
        find_session_ = Prepare(
            "SELECT address, port, last_seen_ms, relay_address, relay_port, hidden FROM "
            "sessions WHERE number = ?1 AND last_seen_ms >= ?2");
        touch_session_ = Prepare(
            "UPDATE sessions SET last_seen_ms = max(last_seen_ms, ?3) WHERE number = ?1 AND "
            "address = ?2 AND last_seen_ms >= ?4");
        change_port_ = Prepare(
            "UPDATE sessions SET port = ?3 WHERE number = ?1 AND address = ?2 AND "
            "last_seen_ms >= ?4");
        set_relay_ = Prepare(
            "UPDATE sessions SET relay_address = ?3, relay_port = ?4 WHERE number = ?1 AND "
            "address = ?2 AND last_seen_ms >= ?5");
        set_hidden_ = Prepare(
            "UPDATE sessions SET hidden = ?3 WHERE number = ?1 AND address = ?2 AND "
            "last_seen_ms >= ?4");
        begin_read_ = Prepare("BEGIN");
        end_read_ = Prepare("COMMIT");
        remove_session_ = Prepare("DELETE FROM sessions WHERE number = ?1 AND address = ?2");
        claim_sweep_ = Prepare(
            "UPDATE housekeeping SET next_run_ms = ?1 + ?2 WHERE task = 'sweep' AND "
            "next_run_ms <= ?1");
        sweep_ = Prepare("DELETE FROM sessions WHERE last_seen_ms < ?1");
        count_sessions_ = Prepare("SELECT count(*) FROM sessions WHERE last_seen_ms >= ?1");
    } catch (...) {
        Close();
        throw;
    }
}

SqliteStore::~SqliteStore() {
    Close();
}

void SqliteStore::Close() {
    for (sqlite3_stmt** stmt :
         {&max_number_, &insert_subscriber_, &find_hash_, &insert_report_, &put_session_,
          &find_session_, &touch_session_, &change_port_, &set_relay_, &set_hidden_, &begin_read_,
          &end_read_, &remove_session_, &claim_sweep_, &sweep_, &count_sessions_}) {
        sqlite3_finalize(*stmt);
        *stmt = nullptr;
    }
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

void SqliteStore::Upgrade() {
    // IMMEDIATE: a second process opening the same file waits here instead
    // of running the same steps at the same time.
    Exec("BEGIN IMMEDIATE");
    try {
        Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        int version = 0;
        {
            Statement read(db_, "SELECT max(version) FROM schema_version");
            if (sqlite3_step(read.stmt) == SQLITE_ROW) {
                version = sqlite3_column_int(read.stmt, 0);
            }
        }
        if (version > kSchemaVersion) {
            throw std::runtime_error(NewerSchemaRefusal(version));
        }
        for (int step = version; step < kSchemaVersion; ++step) {
            Exec(SchemaStep(step, SqlDialect::kSqlite).c_str());
        }
        if (version < kSchemaVersion) {
            Exec("DELETE FROM schema_version");
            Exec(("INSERT INTO schema_version (version) VALUES (" + std::to_string(kSchemaVersion) +
                  ")")
                     .c_str());
        }
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

int SqliteStore::SchemaVersion() {
    std::lock_guard lock(mutex_);
    Statement read(db_, "SELECT max(version) FROM schema_version");
    return sqlite3_step(read.stmt) == SQLITE_ROW ? sqlite3_column_int(read.stmt, 0) : 0;
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
    return ColumnBytes(find_hash_, 0);
}

bool SqliteStore::AddCallReport(const CallReport& r) {
    std::lock_guard lock(mutex_);
    return InsertReportLocked(r);
}

bool SqliteStore::InsertReportLocked(const CallReport& r) {
    Resetter reset{insert_report_};
    sqlite3_bind_int64(
        insert_report_, 1,
        r.reported_at ? r.reported_at : static_cast<std::int64_t>(std::time(nullptr)));
    sqlite3_bind_int(insert_report_, 2, r.kind);
    sqlite3_bind_int(insert_report_, 3, r.other);
    sqlite3_bind_int(insert_report_, 4, r.own);
    sqlite3_bind_int(insert_report_, 5, r.seconds);
    BindText(insert_report_, 6, r.reported_from);
    return sqlite3_step(insert_report_) == SQLITE_DONE;
}

bool SqliteStore::PutSession(const SessionRow& s) {
    std::lock_guard lock(mutex_);
    return PutSessionLocked(s);
}

bool SqliteStore::PutSessionLocked(const SessionRow& s) {
    Resetter reset{put_session_};
    sqlite3_bind_int(put_session_, 1, s.number);
    BindText(put_session_, 2, s.address);
    sqlite3_bind_int(put_session_, 3, s.port);
    sqlite3_bind_int64(put_session_, 4, s.last_seen_ms);
    BindText(put_session_, 5, s.relay_address);
    sqlite3_bind_int(put_session_, 6, s.relay_port);
    sqlite3_bind_int(put_session_, 7, s.hidden ? 1 : 0);
    return sqlite3_step(put_session_) == SQLITE_DONE;
}

std::optional<SessionRow> SqliteStore::FindSession(std::int32_t number,
                                                   std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    return FindSessionLocked(number, alive_since_ms);
}

std::optional<SessionRow> SqliteStore::FindSessionLocked(std::int32_t number,
                                                         std::int64_t alive_since_ms) {
    Resetter reset{find_session_};
    sqlite3_bind_int(find_session_, 1, number);
    sqlite3_bind_int64(find_session_, 2, alive_since_ms);
    if (sqlite3_step(find_session_) != SQLITE_ROW) {
        return std::nullopt;
    }
    return SessionRow{number,
                      ColumnBytes(find_session_, 0),
                      sqlite3_column_int(find_session_, 1),
                      sqlite3_column_int64(find_session_, 2),
                      ColumnBytes(find_session_, 3),
                      sqlite3_column_int(find_session_, 4),
                      sqlite3_column_int(find_session_, 5) != 0};
}

std::vector<std::optional<SessionRow>> SqliteStore::FindSessions(
    const std::vector<std::int32_t>& numbers, std::int64_t alive_since_ms) {
    // Inside the process a look-up by primary key costs a microsecond or
    // two: the one prepared statement under one lock, in one read
    // transaction, is the batch. Without the transaction each look-up
    // would take and drop the file's read lock (two fcntl calls and more
    // than the look-up itself).
    std::lock_guard lock(mutex_);
    std::vector<std::optional<SessionRow>> rows;
    rows.reserve(numbers.size());
    bool in_transaction = numbers.size() > 1 && sqlite3_step(begin_read_) == SQLITE_DONE;
    sqlite3_reset(begin_read_);
    for (std::int32_t n : numbers) {
        rows.push_back(FindSessionLocked(n, alive_since_ms));
    }
    if (in_transaction) {
        int rc = sqlite3_step(end_read_);
        sqlite3_reset(end_read_);
        if (rc != SQLITE_DONE) {
            // Never left open: it would hold back every later write.
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    return rows;
}

SessionStatus SqliteStore::WhyNoChange(std::int32_t number, std::int64_t alive_since_ms) {
    Resetter reset{find_session_};
    sqlite3_bind_int(find_session_, 1, number);
    sqlite3_bind_int64(find_session_, 2, alive_since_ms);
    return sqlite3_step(find_session_) == SQLITE_ROW ? SessionStatus::kOtherAddress
                                                     : SessionStatus::kNoSession;
}

SessionStatus SqliteStore::TouchSession(std::int32_t number, const std::string& address,
                                        std::int64_t now_ms, std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    Resetter reset{touch_session_};
    sqlite3_bind_int(touch_session_, 1, number);
    BindText(touch_session_, 2, address);
    sqlite3_bind_int64(touch_session_, 3, now_ms);
    sqlite3_bind_int64(touch_session_, 4, alive_since_ms);
    if (sqlite3_step(touch_session_) != SQLITE_DONE) {
        return SessionStatus::kFailed;
    }
    return sqlite3_changes(db_) == 1 ? SessionStatus::kDone : WhyNoChange(number, alive_since_ms);
}

std::vector<SessionStatus> SqliteStore::TouchSessions(const std::vector<Touch>& touches,
                                                      std::int64_t now_ms,
                                                      std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    std::vector<SessionStatus> statuses(touches.size(), SessionStatus::kFailed);
    // One transaction for all: one write of the journal instead of one each.
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return statuses;
    }
    for (std::size_t i = 0; i < touches.size(); ++i) {
        Resetter reset{touch_session_};
        sqlite3_bind_int(touch_session_, 1, touches[i].number);
        BindText(touch_session_, 2, touches[i].address);
        sqlite3_bind_int64(touch_session_, 3, now_ms);
        sqlite3_bind_int64(touch_session_, 4, alive_since_ms);
        if (sqlite3_step(touch_session_) != SQLITE_DONE) {
            continue;
        }
        statuses[i] = sqlite3_changes(db_) == 1 ? SessionStatus::kDone
                                                : WhyNoChange(touches[i].number, alive_since_ms);
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        std::fill(statuses.begin(), statuses.end(), SessionStatus::kFailed);
    }
    return statuses;
}

SessionStatus SqliteStore::ChangeSessionPort(std::int32_t number, const std::string& address,
                                             std::int32_t port, std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    Resetter reset{change_port_};
    sqlite3_bind_int(change_port_, 1, number);
    BindText(change_port_, 2, address);
    sqlite3_bind_int(change_port_, 3, port);
    sqlite3_bind_int64(change_port_, 4, alive_since_ms);
    if (sqlite3_step(change_port_) != SQLITE_DONE) {
        return SessionStatus::kFailed;
    }
    return sqlite3_changes(db_) == 1 ? SessionStatus::kDone : WhyNoChange(number, alive_since_ms);
}

SessionStatus SqliteStore::SetSessionRelay(std::int32_t number, const std::string& address,
                                           const std::string& relay_address,
                                           std::int32_t relay_port, std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    Resetter reset{set_relay_};
    sqlite3_bind_int(set_relay_, 1, number);
    BindText(set_relay_, 2, address);
    BindText(set_relay_, 3, relay_address);
    sqlite3_bind_int(set_relay_, 4, relay_port);
    sqlite3_bind_int64(set_relay_, 5, alive_since_ms);
    if (sqlite3_step(set_relay_) != SQLITE_DONE) {
        return SessionStatus::kFailed;
    }
    return sqlite3_changes(db_) == 1 ? SessionStatus::kDone : WhyNoChange(number, alive_since_ms);
}

SessionStatus SqliteStore::SetSessionHidden(std::int32_t number, const std::string& address,
                                            bool hidden, std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    Resetter reset{set_hidden_};
    sqlite3_bind_int(set_hidden_, 1, number);
    BindText(set_hidden_, 2, address);
    sqlite3_bind_int(set_hidden_, 3, hidden ? 1 : 0);
    sqlite3_bind_int64(set_hidden_, 4, alive_since_ms);
    if (sqlite3_step(set_hidden_) != SQLITE_DONE) {
        return SessionStatus::kFailed;
    }
    return sqlite3_changes(db_) == 1 ? SessionStatus::kDone : WhyNoChange(number, alive_since_ms);
}

SessionStatus SqliteStore::RemoveSession(std::int32_t number, const std::string& address) {
    std::lock_guard lock(mutex_);
    Resetter reset{remove_session_};
    sqlite3_bind_int(remove_session_, 1, number);
    BindText(remove_session_, 2, address);
    if (sqlite3_step(remove_session_) != SQLITE_DONE) {
        return SessionStatus::kFailed;
    }
    // An expired session that is still in the table counts as someone's.
    return sqlite3_changes(db_) == 1
               ? SessionStatus::kDone
               : WhyNoChange(number, std::numeric_limits<std::int64_t>::min());
}

std::size_t SqliteStore::SweepSessions(std::int64_t now_ms, std::int64_t alive_since_ms,
                                       std::int64_t every_ms) {
    std::lock_guard lock(mutex_);
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return 0;
    }
    std::size_t removed = 0;
    bool claimed = false;
    {
        Resetter reset{claim_sweep_};
        sqlite3_bind_int64(claim_sweep_, 1, now_ms);
        sqlite3_bind_int64(claim_sweep_, 2, every_ms);
        claimed = sqlite3_step(claim_sweep_) == SQLITE_DONE && sqlite3_changes(db_) == 1;
    }
    if (claimed) {
        Resetter reset{sweep_};
        sqlite3_bind_int64(sweep_, 1, alive_since_ms);
        if (sqlite3_step(sweep_) == SQLITE_DONE) {
            removed = static_cast<std::size_t>(sqlite3_changes(db_));
        }
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return 0;
    }
    return removed;
}

std::vector<SessionRow> SqliteStore::ListSessions(std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    Statement list(db_,
                   "SELECT number, address, port, last_seen_ms, relay_address, relay_port, "
                   "hidden FROM sessions WHERE last_seen_ms >= ?1 ORDER BY number");
    sqlite3_bind_int64(list.stmt, 1, alive_since_ms);
    std::vector<SessionRow> rows;
    while (sqlite3_step(list.stmt) == SQLITE_ROW) {
        rows.push_back({sqlite3_column_int(list.stmt, 0), ColumnBytes(list.stmt, 1),
                        sqlite3_column_int(list.stmt, 2), sqlite3_column_int64(list.stmt, 3),
                        ColumnBytes(list.stmt, 4), sqlite3_column_int(list.stmt, 5),
                        sqlite3_column_int(list.stmt, 6) != 0});
    }
    return rows;
}

std::size_t SqliteStore::CountSessions(std::int64_t alive_since_ms) {
    std::lock_guard lock(mutex_);
    Resetter reset{count_sessions_};
    sqlite3_bind_int64(count_sessions_, 1, alive_since_ms);
    if (sqlite3_step(count_sessions_) != SQLITE_ROW) {
        return 0;
    }
    return static_cast<std::size_t>(sqlite3_column_int64(count_sessions_, 0));
}

bool SqliteStore::SetPasswordHash(std::int32_t number, const std::string& hash) {
    std::lock_guard lock(mutex_);
    Statement update(db_, "UPDATE subscribers SET password_hash = ?2 WHERE number = ?1");
    sqlite3_bind_int(update.stmt, 1, number);
    BindText(update.stmt, 2, hash);
    return sqlite3_step(update.stmt) == SQLITE_DONE && sqlite3_changes(db_) == 1;
}

bool SqliteStore::RemoveSubscriber(std::int32_t number) {
    std::lock_guard lock(mutex_);
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    bool removed = false;
    {
        Statement remove(db_, "DELETE FROM subscribers WHERE number = ?1");
        sqlite3_bind_int(remove.stmt, 1, number);
        removed = sqlite3_step(remove.stmt) == SQLITE_DONE && sqlite3_changes(db_) == 1;
    }
    if (removed) {
        Statement session(db_, "DELETE FROM sessions WHERE number = ?1");
        sqlite3_bind_int(session.stmt, 1, number);
        removed = sqlite3_step(session.stmt) == SQLITE_DONE;
    }
    if (removed) {
        Statement retire(db_, "INSERT OR IGNORE INTO retired_numbers (number) VALUES (?1)");
        sqlite3_bind_int(retire.stmt, 1, number);
        removed = sqlite3_step(retire.stmt) == SQLITE_DONE;
    }
    if (!removed || sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

std::vector<std::int32_t> SqliteStore::RetiredNumbers() {
    std::lock_guard lock(mutex_);
    Statement list(db_, "SELECT number FROM retired_numbers ORDER BY number");
    std::vector<std::int32_t> numbers;
    while (sqlite3_step(list.stmt) == SQLITE_ROW) {
        numbers.push_back(sqlite3_column_int(list.stmt, 0));
    }
    return numbers;
}

bool SqliteStore::RetireNumber(std::int32_t number) {
    std::lock_guard lock(mutex_);
    Statement retire(db_, "INSERT OR IGNORE INTO retired_numbers (number) VALUES (?1)");
    sqlite3_bind_int(retire.stmt, 1, number);
    return sqlite3_step(retire.stmt) == SQLITE_DONE;
}

std::vector<SubscriberRow> SqliteStore::Subscribers() {
    std::lock_guard lock(mutex_);
    Statement list(db_,
                   "SELECT number, name, password_hash, email, country, city, registered_from, "
                   "registered_at FROM subscribers ORDER BY number");
    std::vector<SubscriberRow> rows;
    int rc;
    while ((rc = sqlite3_step(list.stmt)) == SQLITE_ROW) {
        SubscriberRow row;
        row.number = sqlite3_column_int(list.stmt, 0);
        row.data = {ColumnBytes(list.stmt, 1), ColumnBytes(list.stmt, 2),
                    ColumnBytes(list.stmt, 3), ColumnBytes(list.stmt, 4),
                    ColumnBytes(list.stmt, 5), ColumnBytes(list.stmt, 6)};
        row.registered_at = sqlite3_column_int64(list.stmt, 7);
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    }
    return rows;
}

std::vector<CallReport> SqliteStore::CallReports() {
    std::lock_guard lock(mutex_);
    Statement list(db_,
                   "SELECT kind, other, own, seconds, reported_from, reported_at FROM "
                   "call_reports ORDER BY id");
    std::vector<CallReport> rows;
    int rc;
    while ((rc = sqlite3_step(list.stmt)) == SQLITE_ROW) {
        rows.push_back({sqlite3_column_int(list.stmt, 0), sqlite3_column_int(list.stmt, 1),
                        sqlite3_column_int(list.stmt, 2), sqlite3_column_int(list.stmt, 3),
                        ColumnBytes(list.stmt, 4), sqlite3_column_int64(list.stmt, 5)});
    }
    if (rc != SQLITE_DONE) {
        throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    }
    return rows;
}

bool SqliteStore::UpdateLimits(const std::vector<std::string>& keys, std::int64_t now_ms,
                               const std::function<void(std::vector<LimitEntry>&)>& change) {
    std::lock_guard lock(mutex_);
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return false;
    }
    bool ok = true;
    std::vector<LimitEntry> entries;
    try {
        Statement read(db_, "SELECT value, expires_ms FROM limit_state WHERE key = ?1");
        for (const std::string& key : keys) {
            sqlite3_reset(read.stmt);
            BindText(read.stmt, 1, key);
            LimitEntry entry;
            if (sqlite3_step(read.stmt) == SQLITE_ROW &&
                sqlite3_column_int64(read.stmt, 1) >= now_ms) {
                entry.value = ColumnBytes(read.stmt, 0);
                entry.expires_ms = sqlite3_column_int64(read.stmt, 1);
            }
            entries.push_back(std::move(entry));
        }
        change(entries);
        Statement write(db_,
                        "INSERT INTO limit_state (key, value, expires_ms) VALUES (?1, ?2, ?3) "
                        "ON CONFLICT (key) DO UPDATE SET value = excluded.value, "
                        "expires_ms = excluded.expires_ms");
        Statement remove(db_, "DELETE FROM limit_state WHERE key = ?1");
        for (std::size_t i = 0; i < keys.size() && ok; ++i) {
            if (!entries[i].changed) {
                continue;
            }
            sqlite3_stmt* stmt = entries[i].value.empty() ? remove.stmt : write.stmt;
            BindText(stmt, 1, keys[i]);
            if (!entries[i].value.empty()) {
                BindText(stmt, 2, entries[i].value);
                sqlite3_bind_int64(stmt, 3, entries[i].expires_ms);
            }
            ok = sqlite3_step(stmt) == SQLITE_DONE;
            sqlite3_reset(stmt);
        }
        // Now and then the expired entries go.
        if (ok && ++limit_updates_ % 1024 == 0) {
            Statement sweep(db_, "DELETE FROM limit_state WHERE expires_ms < ?1");
            sqlite3_bind_int64(sweep.stmt, 1, now_ms);
            ok = sqlite3_step(sweep.stmt) == SQLITE_DONE;
        }
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok || sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

bool SqliteStore::ImportSubscriber(const SubscriberRow& row) {
    std::lock_guard lock(mutex_);
    return InsertSubscriberLocked(row);
}

bool SqliteStore::InsertSubscriberLocked(const SubscriberRow& row) {
    Resetter reset{insert_subscriber_};
    const NewSubscriber& s = row.data;
    sqlite3_bind_int(insert_subscriber_, 1, row.number);
    BindBlob(insert_subscriber_, 2, s.name);
    BindText(insert_subscriber_, 3, s.password_hash);
    BindBlob(insert_subscriber_, 4, s.email);
    BindBlob(insert_subscriber_, 5, EmailKey(s.email));
    BindBlob(insert_subscriber_, 6, s.country);
    BindBlob(insert_subscriber_, 7, s.city);
    sqlite3_bind_int64(insert_subscriber_, 8, row.registered_at);
    BindText(insert_subscriber_, 9, s.registered_from);
    return sqlite3_step(insert_subscriber_) == SQLITE_DONE;
}

bool SqliteStore::ImportAll(const Snapshot& snapshot, std::string* error) {
    std::lock_guard lock(mutex_);
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    auto fail = [&](const std::string& what) {
        *error = what + ": " + sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    };
    for (const SubscriberRow& row : snapshot.subscribers) {
        if (!InsertSubscriberLocked(row)) {
            return fail("cannot store subscriber " + std::to_string(row.number));
        }
    }
    {
        Statement retire(db_, "INSERT OR IGNORE INTO retired_numbers (number) VALUES (?1)");
        for (std::int32_t number : snapshot.retired) {
            sqlite3_reset(retire.stmt);
            sqlite3_bind_int(retire.stmt, 1, number);
            if (sqlite3_step(retire.stmt) != SQLITE_DONE) {
                return fail("cannot store retired number " + std::to_string(number));
            }
        }
    }
    for (const CallReport& report : snapshot.reports) {
        if (!InsertReportLocked(report)) {
            return fail("cannot store a call report");
        }
    }
    for (const SessionRow& session : snapshot.sessions) {
        if (!PutSessionLocked(session)) {
            return fail("cannot store the session of " + std::to_string(session.number));
        }
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail("cannot commit");
    }
    return true;
}

}  // namespace kestrona::server
