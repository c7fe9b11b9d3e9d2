#include "server/postgres_store.h"

#include <libpq-fe.h>

#include <sys/socket.h>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <stdexcept>

#include "server/schema.h"
#include "server/store_executor.h"

#include "server/store_util.h"

namespace kestrona::server {

namespace {

// Keys of the advisory locks that order schema upgrades and number
// assignment between instances.
constexpr const char* kUpgradeLock = "SELECT pg_advisory_xact_lock(7402001)";
constexpr const char* kNumberLock = "SELECT pg_advisory_xact_lock(7402002)";

struct StatementText {
    const char* name;
    const char* sql;
};

constexpr StatementText kStatements[] = {
    {"max_number",
     "SELECT max(n) FROM (SELECT max(number) AS n FROM subscribers UNION ALL "
     "SELECT max(number) FROM retired_numbers) AS numbers"},
    {"insert_subscriber",
     "INSERT INTO subscribers (number, name, password_hash, email, email_key, country, city, "
     "registered_at, registered_from) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)"},
    {"find_hash", "SELECT password_hash FROM subscribers WHERE number = $1"},
    {"insert_report",
     "INSERT INTO call_reports (reported_at, kind, other, own, seconds, reported_from) "
     "VALUES ($1, $2, $3, $4, $5, $6)"},
    {"put_session",
     "INSERT INTO sessions (number, address, port, last_seen_ms, relay_address, relay_port, "
     "hidden) VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (number) DO UPDATE SET address = "
     "excluded.address, port = excluded.port, last_seen_ms = excluded.last_seen_ms, "
     "relay_address = excluded.relay_address, relay_port = excluded.relay_port, hidden = "
     "excluded.hidden"},
    {"find_session",
     "SELECT address, port, last_seen_ms, relay_address, relay_port, hidden FROM sessions "
     "WHERE number = $1 AND last_seen_ms >= $2"},
    {"touch_session",
     "UPDATE sessions SET last_seen_ms = greatest(last_seen_ms, $3) WHERE number = $1 AND "
     "address = $2 AND last_seen_ms >= $4"},
    // Keep-alives that arrived together: one statement, one transaction.
    // The rows are locked first, in the order of their numbers, whatever
    // plan the update gets: two instances whose lots share numbers then
    // wait for each other at most, where in any other order each may hold
    // a row the other waits for, and the database ends the deadlock after a
    // second by failing one of the lots whole.
    {"touch_sessions",
     "WITH mine AS MATERIALIZED (SELECT s.number FROM sessions AS s JOIN "
     "unnest($1::integer[], $2::text[]) AS t(number, address) ON s.number = t.number AND "
     "s.address = t.address WHERE s.last_seen_ms >= $4 ORDER BY s.number FOR UPDATE OF s) "
     "UPDATE sessions AS s SET last_seen_ms = greatest(s.last_seen_ms, $3) FROM mine WHERE "
     "s.number = mine.number RETURNING s.number"},
    {"find_sessions",
     "SELECT number, address, port, last_seen_ms, relay_address, relay_port, hidden FROM "
     "sessions WHERE number = ANY($1::integer[]) AND last_seen_ms >= $2"},
    {"alive_of",
     "SELECT number FROM sessions WHERE number = ANY($1::integer[]) AND last_seen_ms >= $2"},
    {"change_port",
     "UPDATE sessions SET port = $3 WHERE number = $1 AND address = $2 AND last_seen_ms >= $4"},
    {"set_relay",
     "UPDATE sessions SET relay_address = $3, relay_port = $4 WHERE number = $1 AND "
     "address = $2 AND last_seen_ms >= $5"},
    {"set_hidden",
     "UPDATE sessions SET hidden = $3 WHERE number = $1 AND address = $2 AND last_seen_ms >= $4"},
    {"remove_session", "DELETE FROM sessions WHERE number = $1 AND address = $2"},
    // Under READ COMMITTED a second instance waits for the first's row lock,
    // then sees the new next_run_ms and claims nothing.
    {"claim_sweep",
     "UPDATE housekeeping SET next_run_ms = $1::bigint + $2::bigint WHERE task = 'sweep' AND "
     "next_run_ms <= $1::bigint"},
    {"sweep", "DELETE FROM sessions WHERE last_seen_ms < $1"},
    {"count_sessions", "SELECT count(*) FROM sessions WHERE last_seen_ms >= $1"},
};

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// One parameter: text, or bytes sent in binary form (bytea).
struct Param {
    std::string value;
    bool binary = false;
};

Param Int(std::int64_t v) {
    return {std::to_string(v)};
}
Param Text(const std::string& v) {
    return {v};
}
Param Bytes(const std::string& v) {
    return {v, true};
}

bool Ok(const Result& r) {
    if (!r) {
        return false;
    }
    ExecStatusType status = PQresultStatus(r.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::int64_t Changed(const Result& r) {
    const char* n = PQcmdTuples(r.get());
    return n && *n ? std::strtoll(n, nullptr, 10) : 0;
}

bool UniqueViolation(const Result& r) {
    const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
    return state && std::string_view(state) == "23505";
}

std::string Constraint(const Result& r) {
    const char* name = r ? PQresultErrorField(r.get(), PG_DIAG_CONSTRAINT_NAME) : nullptr;
    return name ? name : "";
}

std::int64_t IntAt(const Result& r, int row, int column) {
    return std::strtoll(PQgetvalue(r.get(), row, column), nullptr, 10);
}

std::string TextAt(const Result& r, int row, int column) {
    return std::string(PQgetvalue(r.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(r.get(), row, column)));
}

// bytea comes back as text in hex form.
std::string BytesAt(const Result& r, int row, int column) {
    std::size_t size = 0;
    unsigned char* raw = PQunescapeBytea(
        reinterpret_cast<const unsigned char*>(PQgetvalue(r.get(), row, column)), &size);
    if (!raw) {
        throw std::runtime_error("database: cannot decode bytes");
    }
    std::string bytes(reinterpret_cast<const char*>(raw), size);
    PQfreemem(raw);
    return bytes;
}

void Quiet(void*, const char*) {}

// Errors after which the connection is of no more use, though libpq may
// still count it as open: the server turned read-only (a primary demoted,
// or a standby reached), is shutting down or refuses new work, or the
// connection itself failed.
bool EndsTheConnection(const PGresult* r) {
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    if (!state) {
        return false;
    }
    std::string_view code(state);
    return code == "25006" || code == "57P01" || code == "57P02" || code == "57P03" ||
           code.substr(0, 2) == "08";
}

// Runs f; a database that cannot be reached (no connection free in time, or
// none at all) gives the failure value of the operation.
template <class T, class F>
T Guarded(T failed, F f) {
    try {
        return f();
    } catch (const std::runtime_error&) {
        return failed;
    }
}

}  // namespace

class PostgresStore::Connection {
  public:
    Connection(const std::string& conninfo, bool durable) : conninfo_(conninfo), durable_(durable) {
        Open();
    }
    bool durable() const { return durable_; }
    ~Connection() { PQfinish(conn_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs a prepared statement. A connection found broken is not opened
    // again here: the pool does that in the background, and a statement is
    // never repeated on its own, outside the transaction it belonged to.
    Result Run(const char* name, const std::vector<Param>& params) { return Execute(name, params); }

    // A statement used once (administration), with parameters.
    Result Once(const char* sql, const std::vector<Param>& params) {
        std::vector<const char*> values;
        std::vector<int> lengths;
        std::vector<int> formats;
        for (const Param& p : params) {
            values.push_back(p.value.data());
            lengths.push_back(static_cast<int>(p.value.size()));
            formats.push_back(p.binary ? 1 : 0);
        }
        warned_ = false;
        return Checked(Result(PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr,
                                           values.data(), lengths.data(), formats.data(), 0)));
    }

    // Plain SQL, no parameters (transactions, schema).
    Result Exec(const char* sql) {
        warned_ = false;
        return Checked(Result(PQexec(conn_, sql)));
    }

    bool Begin() { return ExecOk("BEGIN"); }

    bool ExecOk(const char* sql) { return Ok(Exec(sql)); }

    bool Broken() const { return stale_ || PQstatus(conn_) == CONNECTION_BAD; }

    // The server as it names itself (address:port), read when the
    // connection was opened; the same text through a balancer for the same
    // server, another after a failover.
    const std::string& server() const { return server_; }

    // For a connection at rest in the pool: reads what the database sent
    // meanwhile, which shows a connection the database closed (a restart).
    bool StillOpen() {
        return PQconsumeInput(conn_) == 1 && PQstatus(conn_) == CONNECTION_OK &&
               PQtransactionStatus(conn_) == PQTRANS_IDLE;
    }

    // Ends the conversation under a thread that may be waiting in it; the
    // descriptor stays open until the connection is reset or destroyed.
    void Interrupt() {
        int fd = PQsocket(conn_);
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }

    std::string Error() const { return PQerrorMessage(conn_); }

    void PrepareAll() {
        for (const auto& s : kStatements) {
            Result r(PQprepare(conn_, s.name, s.sql, 0, nullptr));
            if (!Ok(r)) {
                throw std::runtime_error(std::string("database: cannot prepare ") + s.name + ": " +
                                         Error());
            }
        }
        prepared_ = true;
    }

    // Opens the connection anew, with its settings and statements; blocks
    // for at most the connect time-out. A server that is read-only (a
    // standby, or a primary being demoted) does not count as reached.
    bool Reopen() {
        PQreset(conn_);
        if (PQstatus(conn_) != CONNECTION_OK) {
            return false;
        }
        stale_ = false;
        Listen();
        if (!Identify()) {
            return false;
        }
        Configure();
        try {
            if (prepared_) {
                PrepareAll();
            }
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

  private:
    void Open() {
        // A database that does not answer must not hold the server's threads:
        // bounded connects and statements, and a connection whose peer went
        // silent (host down, packets dropped) is found dead within seconds
        // rather than the system's two hours. The operator's own URI comes
        // after ours and wins.
        const char* keywords[] = {"connect_timeout",
                                  "keepalives",
                                  "keepalives_idle",
                                  "keepalives_interval",
                                  "keepalives_count",
                                  "tcp_user_timeout",
                                  "options",
                                  "dbname",
                                  nullptr};
        const char* values[] = {
            "2",    "1", "5", "2", "2", "5000", "-c statement_timeout=5000", conninfo_.c_str(),
            nullptr};
        conn_ = PQconnectdbParams(keywords, values, 1);
        if (PQstatus(conn_) != CONNECTION_OK) {
            std::string why = Error();
            PQfinish(conn_);
            conn_ = nullptr;
            throw std::runtime_error("cannot connect to the database: " + why);
        }
        Listen();
        if (!Identify()) {
            PQfinish(conn_);
            conn_ = nullptr;
            throw std::runtime_error("the database server is read-only (a standby?)");
        }
        Configure();
    }

    void Listen() {
        PQsetNoticeProcessor(conn_, Quiet, nullptr);
        PQsetNoticeReceiver(conn_, &Connection::Notice, this);
    }

    // A warning during a write on a durable connection is the server saying
    // that it committed without the confirmation this connection waits for:
    // a commit whose wait for the synchronous standby was cancelled (a
    // cancel request, or pg_cancel_backend while the standby is away) is
    // kept locally and reported as done. Such a write must not be
    // acknowledged to a phone; it still holds its number, so that number is
    // not given again.
    static void Notice(void* self, const PGresult* notice) {
        const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
        if (severity && std::string_view(severity) == "WARNING") {
            static_cast<Connection*>(self)->warned_ = true;
        }
    }

    bool Identify() {
        Result r(PQexec(conn_,
                        "SELECT pg_is_in_recovery(), coalesce(host(inet_server_addr()), 'local') "
                        "|| ':' || coalesce(inet_server_port()::text, '')"));
        if (!Ok(r) || PQntuples(r.get()) != 1) {
            return false;
        }
        server_ = TextAt(r, 0, 1);
        return std::string_view(PQgetvalue(r.get(), 0, 0)) == "f";
    }

    // Marks the connection for reopening when the result shows it is done;
    // turns a durable write that the server only half confirmed into a
    // failure.
    Result Checked(Result r) {
        if (r && EndsTheConnection(r.get())) {
            stale_ = true;
        }
        if (durable_ && warned_ && Ok(r)) {
            return Result(PQmakeEmptyPGresult(conn_, PGRES_FATAL_ERROR));
        }
        return r;
    }

    void Configure() {
        // The statements are prepared once and run thousands of times a
        // second; planned anew for each run (the default for the first few
        // and often for good when arrays are passed), planning cost more
        // than a keep-alive lot's whole update. Their plans do not depend on
        // the values: an index look-up by number, or a scan. A server too
        // old to know the setting keeps planning each run.
        Result plans(PQexec(conn_, "SET plan_cache_mode = force_generic_plan"));
        if (!durable_) {
            Result r(PQexec(conn_, "SET synchronous_commit = off"));
        }
    }

    Result Execute(const char* name, const std::vector<Param>& params) {
        std::vector<const char*> values;
        std::vector<int> lengths;
        std::vector<int> formats;
        for (const Param& p : params) {
            values.push_back(p.value.data());
            lengths.push_back(static_cast<int>(p.value.size()));
            formats.push_back(p.binary ? 1 : 0);
        }
        // Text parameters go NUL-terminated; std::string guarantees it.
        warned_ = false;
        return Checked(Result(PQexecPrepared(conn_, name, static_cast<int>(params.size()),
                                             values.data(), lengths.data(), formats.data(), 0)));
    }

    std::string conninfo_;
    bool durable_;
    PGconn* conn_ = nullptr;
    bool prepared_ = false;
    bool stale_ = false;
    bool warned_ = false;
    std::string server_;
};

// A connection taken from the pool for one operation.
class PostgresStore::Lease {
  public:
    Lease(PostgresStore& store, std::unique_ptr<Connection> c) : store_(store), c_(std::move(c)) {}
    Lease(Lease&& other) noexcept : store_(other.store_), c_(std::move(other.c_)) {}
    ~Lease() {
        if (c_) {
            store_.Release(std::move(c_));
        }
    }
    Connection* operator->() { return c_.get(); }
    Connection& operator*() { return *c_; }

  private:
    PostgresStore& store_;
    std::unique_ptr<Connection> c_;
};

PostgresStore::PostgresStore(const std::string& conninfo, int connections) : conninfo_(conninfo) {
    auto first = std::make_unique<Connection>(conninfo_, true);
    // Several instances may start at once on a new database: the lock makes
    // one of them upgrade and the others find the work done.
    if (!first->ExecOk("BEGIN") || !first->ExecOk(kUpgradeLock) ||
        !first->ExecOk("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)")) {
        throw std::runtime_error("database: cannot read the schema version: " + first->Error());
    }
    Result read = first->Exec("SELECT coalesce(max(version), 0) FROM schema_version");
    if (!Ok(read)) {
        throw std::runtime_error("database: cannot read the schema version: " + first->Error());
    }
    int version = static_cast<int>(IntAt(read, 0, 0));
    if (version > kSchemaVersion) {
        throw std::runtime_error(NewerSchemaRefusal(version));
    }
    for (int step = version; step < kSchemaVersion; ++step) {
        if (!first->ExecOk(SchemaStep(step, SqlDialect::kPostgres).c_str())) {
            throw std::runtime_error("database: schema step " + std::to_string(step + 1) +
                                     " failed: " + first->Error());
        }
    }
    std::string set = "DELETE FROM schema_version; INSERT INTO schema_version VALUES (" +
                      std::to_string(kSchemaVersion) + ")";
    if ((version < kSchemaVersion && !first->ExecOk(set.c_str())) || !first->ExecOk("COMMIT")) {
        throw std::runtime_error("database: cannot record the schema version: " + first->Error());
    }
    first->PrepareAll();
    server_ = first->server();
    idle_[static_cast<int>(Pool::kDurable)].push_back(std::move(first));
    for (int i = 1; i < std::max(1, connections / 4); ++i) {
        auto c = std::make_unique<Connection>(conninfo_, true);
        c->PrepareAll();
        idle_[static_cast<int>(Pool::kDurable)].push_back(std::move(c));
    }
    for (int i = 0; i < std::max(1, connections); ++i) {
        auto c = std::make_unique<Connection>(conninfo_, false);
        c->PrepareAll();
        idle_[static_cast<int>(Pool::kSessions)].push_back(std::move(c));
    }
    reconnector_ = std::thread([this] { Reconnect(); });
}

PostgresStore::~PostgresStore() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    repair_.notify_all();
    reconnector_.join();
}

PostgresStore::Lease PostgresStore::Acquire(Pool pool) {
    int p = static_cast<int>(pool);
    auto& idle = idle_[p];
    // A caller outside the executor (administration) still waits no longer
    // than a request would.
    SteadyTime deadline =
        std::min(CurrentDeadline(), std::chrono::steady_clock::now() + std::chrono::seconds(10));
    std::unique_lock lock(mutex_);
    for (;;) {
        if (interrupted_) {
            throw std::runtime_error("database: shutting down");
        }
        if (!idle.empty()) {
            break;
        }
        // Every connection of the pool is being opened again: waiting would
        // only use up the caller's time.
        if (leased_[p].empty()) {
            counters_.refused.fetch_add(1, std::memory_order_relaxed);
            throw std::runtime_error("database: not connected");
        }
        if (available_[p].wait_until(lock, deadline) == std::cv_status::timeout && idle.empty()) {
            counters_.refused.fetch_add(1, std::memory_order_relaxed);
            throw std::runtime_error("database: no connection free in time");
        }
    }
    std::unique_ptr<Connection> c = std::move(idle.back());
    idle.pop_back();
    leased_[p].push_back(c.get());
    return Lease(*this, std::move(c));
}

void PostgresStore::Release(std::unique_ptr<Connection> connection) {
    int pool = static_cast<int>(connection->durable() ? Pool::kDurable : Pool::kSessions);
    bool broken = connection->Broken();
    {
        std::lock_guard lock(mutex_);
        std::erase(leased_[pool], connection.get());
        (broken ? broken_ : idle_[pool]).push_back(std::move(connection));
    }
    if (broken) {
        repair_.notify_one();
        // Waiters that can no longer be served learn it now.
        available_[pool].notify_all();
    } else {
        available_[pool].notify_one();
    }
}

void PostgresStore::Reconnect() {
    using namespace std::chrono_literals;
    std::unique_lock lock(mutex_);
    while (!closing_) {
        repair_.wait_for(lock, 1s, [&] { return closing_ || (!broken_.empty() && !interrupted_); });
        if (closing_) {
            return;
        }
        // Connections at rest that the database closed are found before a
        // request meets them.
        for (auto& idle : idle_) {
            for (auto it = idle.begin(); it != idle.end();) {
                if ((*it)->StillOpen()) {
                    ++it;
                } else {
                    broken_.push_back(std::move(*it));
                    it = idle.erase(it);
                }
            }
        }
        if (interrupted_) {
            continue;
        }
        while (!broken_.empty() && !closing_ && !interrupted_) {
            std::unique_ptr<Connection> c = std::move(broken_.back());
            broken_.pop_back();
            int pool = static_cast<int>(c->durable() ? Pool::kDurable : Pool::kSessions);
            // Counted as leased while it is opened, so that callers wait for
            // it rather than give up on a pool that is coming back.
            leased_[pool].push_back(c.get());
            lock.unlock();
            bool ok = c->Reopen();
            lock.lock();
            std::erase(leased_[pool], c.get());
            if (ok) {
                counters_.reconnects.fetch_add(1, std::memory_order_relaxed);
                if (c->server() != server_) {
                    server_ = c->server();
                    counters_.failovers.fetch_add(1, std::memory_order_relaxed);
                }
                idle_[pool].push_back(std::move(c));
                available_[pool].notify_one();
            } else {
                broken_.push_back(std::move(c));
                available_[pool].notify_all();
                // The database is still away; try again a little later.
                repair_.wait_for(lock, 250ms, [&] { return closing_ || interrupted_; });
            }
        }
    }
}

bool PostgresStore::Ping() {
    Lease c = Acquire(Pool::kSessions);
    return c->ExecOk("SELECT 1");
}

void PostgresStore::Interrupt() {
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
        for (auto& leased : leased_) {
            for (Connection* c : leased) {
                c->Interrupt();
            }
        }
    }
    repair_.notify_all();
    for (auto& available : available_) {
        available.notify_all();
    }
}

int PostgresStore::SchemaVersion() {
    Lease c = Acquire(Pool::kDurable);
    Result r = c->Exec("SELECT coalesce(max(version), 0) FROM schema_version");
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    return static_cast<int>(IntAt(r, 0, 0));
}

AddResult PostgresStore::AddSubscriber(const NewSubscriber& s, std::int32_t first_number) {
    return Guarded(AddResult{AddStatus::kFailed, 0}, [&]() -> AddResult {
        Lease c = Acquire(Pool::kDurable);
        // Numbers are given out in order across instances: one registration at a
        // time holds the lock until its commit.
        if (!c->Begin() || !c->ExecOk(kNumberLock)) {
            c->ExecOk("ROLLBACK");
            return {AddStatus::kFailed, 0};
        }
        AddResult result{AddStatus::kFailed, 0};
        Result max = c->Run("max_number", {});
        if (Ok(max)) {
            std::int64_t next = first_number;
            if (!PQgetisnull(max.get(), 0, 0)) {
                next = std::max<std::int64_t>(next, IntAt(max, 0, 0) + 1);
            }
            if (next > std::numeric_limits<std::int32_t>::max() || next <= 0) {
                result.status = AddStatus::kNumbersExhausted;
            } else {
                Result insert = c->Run(
                    "insert_subscriber",
                    {Int(next), Bytes(s.name), Text(s.password_hash), Bytes(s.email),
                     Bytes(EmailKey(s.email)), Bytes(s.country), Bytes(s.city),
                     Int(static_cast<std::int64_t>(std::time(nullptr))), Text(s.registered_from)});
                if (Ok(insert)) {
                    result = {AddStatus::kAdded, static_cast<std::int32_t>(next)};
                } else if (UniqueViolation(insert) &&
                           Constraint(insert).find("email_key") != std::string::npos) {
                    result.status = AddStatus::kEmailTaken;
                }
            }
        }
        if (result.status == AddStatus::kAdded) {
            if (!c->ExecOk("COMMIT")) {
                c->ExecOk("ROLLBACK");
                result = {AddStatus::kFailed, 0};
            }
        } else {
            c->ExecOk("ROLLBACK");
        }
        return result;
    });
}

std::optional<std::string> PostgresStore::PasswordHash(std::int32_t number) {
    Lease c = Acquire(Pool::kSessions);
    Result r = c->Run("find_hash", {Int(number)});
    if (!Ok(r)) {
        // Not "unknown number": that would answer a working password as wrong.
        throw std::runtime_error("database: " + c->Error());
    }
    if (PQntuples(r.get()) == 0) {
        return std::nullopt;
    }
    return TextAt(r, 0, 0);
}

bool PostgresStore::AddCallReport(const CallReport& r) {
    return Guarded(false, [&]() -> bool {
        Lease c = Acquire(Pool::kDurable);
        std::int64_t at =
            r.reported_at ? r.reported_at : static_cast<std::int64_t>(std::time(nullptr));
        return Ok(c->Run("insert_report", {Int(at), Int(r.kind), Int(r.other), Int(r.own),
                                           Int(r.seconds), Text(r.reported_from)}));
    });
}

bool PostgresStore::PutSession(const SessionRow& s) {
    return Guarded(false, [&]() -> bool {
        // A login: acknowledged to the phone only when it would outlive a
        // failover, so that the phone's next keep-alive finds its session.
        Lease c = Acquire(Pool::kDurable);
        return Ok(c->Run("put_session",
                         {Int(s.number), Text(s.address), Int(s.port), Int(s.last_seen_ms),
                          Text(s.relay_address), Int(s.relay_port), Int(s.hidden ? 1 : 0)}));
    });
}

std::optional<SessionRow> PostgresStore::FindSession(std::int32_t number,
                                                     std::int64_t alive_since_ms) {
    Lease c = Acquire(Pool::kSessions);
    Result r = c->Run("find_session", {Int(number), Int(alive_since_ms)});
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    if (PQntuples(r.get()) == 0) {
        return std::nullopt;
    }
    return SessionRow{number,
                      TextAt(r, 0, 0),
                      static_cast<std::int32_t>(IntAt(r, 0, 1)),
                      IntAt(r, 0, 2),
                      TextAt(r, 0, 3),
                      static_cast<std::int32_t>(IntAt(r, 0, 4)),
                      IntAt(r, 0, 5) != 0};
}

SessionStatus PostgresStore::WhyNoChange(Connection& c, std::int32_t number,
                                         std::int64_t alive_since_ms) {
    Result r = c.Run("find_session", {Int(number), Int(alive_since_ms)});
    if (!Ok(r)) {
        return SessionStatus::kFailed;
    }
    return PQntuples(r.get()) > 0 ? SessionStatus::kOtherAddress : SessionStatus::kNoSession;
}

SessionStatus PostgresStore::TouchSession(std::int32_t number, const std::string& address,
                                          std::int64_t now_ms, std::int64_t alive_since_ms) {
    return Guarded(SessionStatus::kFailed, [&]() -> SessionStatus {
        Lease c = Acquire(Pool::kSessions);
        Result r =
            c->Run("touch_session", {Int(number), Text(address), Int(now_ms), Int(alive_since_ms)});
        if (!Ok(r)) {
            return SessionStatus::kFailed;
        }
        return Changed(r) == 1 ? SessionStatus::kDone : WhyNoChange(*c, number, alive_since_ms);
    });
}

std::vector<SessionStatus> PostgresStore::TouchSessions(const std::vector<Touch>& touches,
                                                        std::int64_t now_ms,
                                                        std::int64_t alive_since_ms) {
    std::vector<SessionStatus> statuses(touches.size(), SessionStatus::kFailed);
    if (touches.empty()) {
        return statuses;
    }
    try {
        Lease c = Acquire(Pool::kSessions);
        // Array literals; addresses are the server's own text of an IP
        // address, quoted all the same.
        std::string numbers = "{";
        std::string addresses = "{";
        for (const Touch& t : touches) {
            numbers += (numbers.size() > 1 ? "," : "") + std::to_string(t.number);
            addresses += std::string(addresses.size() > 1 ? "," : "") + '"' + t.address + '"';
        }
        numbers += "}";
        addresses += "}";
        Result r = c->Run("touch_sessions",
                          {Text(numbers), Text(addresses), Int(now_ms), Int(alive_since_ms)});
        if (!Ok(r)) {
            return statuses;
        }
        std::vector<std::int32_t> done;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            done.push_back(static_cast<std::int32_t>(IntAt(r, i, 0)));
        }
        std::vector<std::int32_t> alive;
        bool asked = false;
        for (std::size_t i = 0; i < touches.size(); ++i) {
            if (std::find(done.begin(), done.end(), touches[i].number) != done.end()) {
                statuses[i] = SessionStatus::kDone;
                continue;
            }
            // Not touched: nobody's session, or someone else's.
            if (!asked) {
                Result a = c->Run("alive_of", {Text(numbers), Int(alive_since_ms)});
                if (!Ok(a)) {
                    return statuses;
                }
                for (int row = 0; row < PQntuples(a.get()); ++row) {
                    alive.push_back(static_cast<std::int32_t>(IntAt(a, row, 0)));
                }
                asked = true;
            }
            statuses[i] = std::find(alive.begin(), alive.end(), touches[i].number) != alive.end()
                              ? SessionStatus::kOtherAddress
                              : SessionStatus::kNoSession;
        }
    } catch (const std::runtime_error&) {
    }
    return statuses;
}

std::vector<std::optional<SessionRow>> PostgresStore::FindSessions(
    const std::vector<std::int32_t>& numbers, std::int64_t alive_since_ms) {
    std::string array = "{";
    for (std::int32_t n : numbers) {
        array += (array.size() > 1 ? "," : "") + std::to_string(n);
    }
    array += "}";
    Lease c = Acquire(Pool::kSessions);
    Result r = c->Run("find_sessions", {Text(array), Int(alive_since_ms)});
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    std::vector<std::optional<SessionRow>> rows(numbers.size());
    for (int row = 0; row < PQntuples(r.get()); ++row) {
        SessionRow found{static_cast<std::int32_t>(IntAt(r, row, 0)),
                         TextAt(r, row, 1),
                         static_cast<std::int32_t>(IntAt(r, row, 2)),
                         IntAt(r, row, 3),
                         TextAt(r, row, 4),
                         static_cast<std::int32_t>(IntAt(r, row, 5)),
                         IntAt(r, row, 6) != 0};
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            if (numbers[i] == found.number) {
                rows[i] = found;
            }
        }
    }
    return rows;
}

SessionStatus PostgresStore::ChangeSessionPort(std::int32_t number, const std::string& address,
                                               std::int32_t port, std::int64_t alive_since_ms) {
    return Guarded(SessionStatus::kFailed, [&]() -> SessionStatus {
        Lease c = Acquire(Pool::kSessions);
        Result r =
            c->Run("change_port", {Int(number), Text(address), Int(port), Int(alive_since_ms)});
        if (!Ok(r)) {
            return SessionStatus::kFailed;
        }
        return Changed(r) == 1 ? SessionStatus::kDone : WhyNoChange(*c, number, alive_since_ms);
    });
}

SessionStatus PostgresStore::SetSessionRelay(std::int32_t number, const std::string& address,
                                             const std::string& relay_address,
                                             std::int32_t relay_port, std::int64_t alive_since_ms) {
    return Guarded(SessionStatus::kFailed, [&]() -> SessionStatus {
        Lease c = Acquire(Pool::kSessions);
        Result r = c->Run("set_relay", {Int(number), Text(address), Text(relay_address),
                                        Int(relay_port), Int(alive_since_ms)});
        if (!Ok(r)) {
            return SessionStatus::kFailed;
        }
        return Changed(r) == 1 ? SessionStatus::kDone : WhyNoChange(*c, number, alive_since_ms);
    });
}

SessionStatus PostgresStore::SetSessionHidden(std::int32_t number, const std::string& address,
                                              bool hidden, std::int64_t alive_since_ms) {
    return Guarded(SessionStatus::kFailed, [&]() -> SessionStatus {
        Lease c = Acquire(Pool::kSessions);
        Result r = c->Run("set_hidden",
                          {Int(number), Text(address), Int(hidden ? 1 : 0), Int(alive_since_ms)});
        if (!Ok(r)) {
            return SessionStatus::kFailed;
        }
        return Changed(r) == 1 ? SessionStatus::kDone : WhyNoChange(*c, number, alive_since_ms);
    });
}

SessionStatus PostgresStore::RemoveSession(std::int32_t number, const std::string& address) {
    return Guarded(SessionStatus::kFailed, [&]() -> SessionStatus {
        Lease c = Acquire(Pool::kSessions);
        Result r = c->Run("remove_session", {Int(number), Text(address)});
        if (!Ok(r)) {
            return SessionStatus::kFailed;
        }
        // An expired session that is still in the table counts as someone's.
        return Changed(r) == 1 ? SessionStatus::kDone
                               : WhyNoChange(*c, number, std::numeric_limits<std::int64_t>::min());
    });
}

std::size_t PostgresStore::SweepSessions(std::int64_t now_ms, std::int64_t alive_since_ms,
                                         std::int64_t every_ms) {
    return Guarded(std::size_t{0}, [&]() -> std::size_t {
        Lease c = Acquire(Pool::kSessions);
        Result claim = c->Run("claim_sweep", {Int(now_ms), Int(every_ms)});
        if (!Ok(claim) || Changed(claim) != 1) {
            return 0;
        }
        Result swept = c->Run("sweep", {Int(alive_since_ms)});
        return Ok(swept) ? static_cast<std::size_t>(Changed(swept)) : 0;
    });
}

std::vector<SessionRow> PostgresStore::ListSessions(std::int64_t alive_since_ms) {
    Lease c = Acquire(Pool::kSessions);
    std::string sql =
        "SELECT number, address, port, last_seen_ms, relay_address, relay_port, hidden FROM "
        "sessions WHERE last_seen_ms >= " +
        std::to_string(alive_since_ms) + " ORDER BY number";
    Result r = c->Exec(sql.c_str());
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    std::vector<SessionRow> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        rows.push_back({static_cast<std::int32_t>(IntAt(r, i, 0)), TextAt(r, i, 1),
                        static_cast<std::int32_t>(IntAt(r, i, 2)), IntAt(r, i, 3), TextAt(r, i, 4),
                        static_cast<std::int32_t>(IntAt(r, i, 5)), IntAt(r, i, 6) != 0});
    }
    return rows;
}

std::size_t PostgresStore::CountSessions(std::int64_t alive_since_ms) {
    Lease c = Acquire(Pool::kSessions);
    Result r = c->Run("count_sessions", {Int(alive_since_ms)});
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    return static_cast<std::size_t>(IntAt(r, 0, 0));
}

bool PostgresStore::SetPasswordHash(std::int32_t number, const std::string& hash) {
    return Guarded(false, [&]() -> bool {
        Lease c = Acquire(Pool::kDurable);
        Result r = c->Once("UPDATE subscribers SET password_hash = $2 WHERE number = $1",
                           {Int(number), Text(hash)});
        return Ok(r) && Changed(r) == 1;
    });
}

bool PostgresStore::RemoveSubscriber(std::int32_t number) {
    return Guarded(false, [&]() -> bool {
        Lease c = Acquire(Pool::kDurable);
        // One statement, so the subscriber and its session go together.
        Result r = c->Once(
            "WITH gone AS (DELETE FROM subscribers WHERE number = $1 RETURNING number), "
            "s AS (DELETE FROM sessions WHERE number IN (SELECT number FROM gone)), "
            "r AS (INSERT INTO retired_numbers SELECT number FROM gone ON CONFLICT DO NOTHING) "
            "SELECT count(*) FROM gone",
            {Int(number)});
        return Ok(r) && IntAt(r, 0, 0) == 1;
    });
}

std::vector<std::int32_t> PostgresStore::RetiredNumbers() {
    Lease c = Acquire(Pool::kDurable);
    Result r = c->Exec("SELECT number FROM retired_numbers ORDER BY number");
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    std::vector<std::int32_t> numbers;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        numbers.push_back(static_cast<std::int32_t>(IntAt(r, i, 0)));
    }
    return numbers;
}

bool PostgresStore::RetireNumber(std::int32_t number) {
    return Guarded(false, [&]() -> bool {
        Lease c = Acquire(Pool::kDurable);
        return Ok(c->Once("INSERT INTO retired_numbers VALUES ($1) ON CONFLICT DO NOTHING",
                          {Int(number)}));
    });
}

std::vector<SubscriberRow> PostgresStore::Subscribers() {
    Lease c = Acquire(Pool::kDurable);
    Result r = c->Exec(
        "SELECT number, name, password_hash, email, country, city, registered_from, "
        "registered_at FROM subscribers ORDER BY number");
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    std::vector<SubscriberRow> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        SubscriberRow row;
        row.number = static_cast<std::int32_t>(IntAt(r, i, 0));
        row.data = {BytesAt(r, i, 1), TextAt(r, i, 2),  BytesAt(r, i, 3),
                    BytesAt(r, i, 4), BytesAt(r, i, 5), TextAt(r, i, 6)};
        row.registered_at = IntAt(r, i, 7);
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<CallReport> PostgresStore::CallReports() {
    Lease c = Acquire(Pool::kDurable);
    Result r = c->Exec(
        "SELECT kind, other, own, seconds, reported_from, reported_at FROM call_reports "
        "ORDER BY id");
    if (!Ok(r)) {
        throw std::runtime_error("database: " + c->Error());
    }
    std::vector<CallReport> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        rows.push_back(
            {static_cast<std::int32_t>(IntAt(r, i, 0)), static_cast<std::int32_t>(IntAt(r, i, 1)),
             static_cast<std::int32_t>(IntAt(r, i, 2)), static_cast<std::int32_t>(IntAt(r, i, 3)),
             TextAt(r, i, 4), IntAt(r, i, 5)});
    }
    return rows;
}

bool PostgresStore::UpdateLimits(const std::vector<std::string>& keys, std::int64_t now_ms,
                                 const std::function<void(std::vector<LimitEntry>&)>& change) {
    return Guarded(false, [&]() -> bool {
        Lease c = Acquire(Pool::kSessions);
        // The rows are locked in the order of their keys, so that two
        // instances counting the same keys never wait on each other in a
        // circle.
        std::vector<std::string> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        std::string array = "{";
        for (const std::string& key : sorted) {
            array += (array.size() > 1 ? ",\"" : "\"") + key + "\"";
        }
        array += "}";
        auto fail = [&] {
            c->ExecOk("ROLLBACK");
            return false;
        };
        if (!c->Begin() ||
            !Ok(c->Once("INSERT INTO limit_state (key, value, expires_ms) "
                        "SELECT k, '', 0 FROM unnest($1::text[]) AS k ON CONFLICT DO NOTHING",
                        {Text(array)}))) {
            return fail();
        }
        Result read = c->Once(
            "SELECT key, value, expires_ms FROM limit_state WHERE key = ANY($1::text[]) "
            "ORDER BY key FOR UPDATE",
            {Text(array)});
        if (!Ok(read)) {
            return fail();
        }
        std::vector<LimitEntry> entries(keys.size());
        for (int row = 0; row < PQntuples(read.get()); ++row) {
            std::string key = TextAt(read, row, 0);
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (keys[i] == key && IntAt(read, row, 2) >= now_ms) {
                    entries[i].value = TextAt(read, row, 1);
                    entries[i].expires_ms = IntAt(read, row, 2);
                }
            }
        }
        change(entries);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (entries[i].changed &&
                !Ok(c->Once("UPDATE limit_state SET value = $2, expires_ms = $3 WHERE key = $1",
                            {Text(keys[i]), Text(entries[i].value),
                             Int(entries[i].value.empty() ? 0 : entries[i].expires_ms)}))) {
                return fail();
            }
        }
        if (++limit_updates_ % 1024 == 0 &&
            !Ok(c->Once("DELETE FROM limit_state WHERE expires_ms < $1", {Int(now_ms)}))) {
            return fail();
        }
        return c->ExecOk("COMMIT") || fail();
    });
}

bool PostgresStore::ImportAll(const Snapshot& snapshot, std::string* error) {
    try {
        Lease c = Acquire(Pool::kDurable);
        auto fail = [&](const std::string& what) {
            *error = what + ": " + c->Error();
            c->ExecOk("ROLLBACK");
            return false;
        };
        if (!c->Begin()) {
            return fail("cannot begin");
        }
        for (const SubscriberRow& row : snapshot.subscribers) {
            const NewSubscriber& s = row.data;
            if (!Ok(c->Run("insert_subscriber",
                           {Int(row.number), Bytes(s.name), Text(s.password_hash), Bytes(s.email),
                            Bytes(EmailKey(s.email)), Bytes(s.country), Bytes(s.city),
                            Int(row.registered_at), Text(s.registered_from)}))) {
                return fail("cannot store subscriber " + std::to_string(row.number));
            }
        }
        for (std::int32_t number : snapshot.retired) {
            if (!Ok(c->Once("INSERT INTO retired_numbers VALUES ($1) ON CONFLICT DO NOTHING",
                            {Int(number)}))) {
                return fail("cannot store retired number " + std::to_string(number));
            }
        }
        for (const CallReport& r : snapshot.reports) {
            if (!Ok(c->Run("insert_report", {Int(r.reported_at), Int(r.kind), Int(r.other),
                                             Int(r.own), Int(r.seconds), Text(r.reported_from)}))) {
                return fail("cannot store a call report");
            }
        }
        for (const SessionRow& s : snapshot.sessions) {
            if (!Ok(c->Run("put_session",
                           {Int(s.number), Text(s.address), Int(s.port), Int(s.last_seen_ms),
                            Text(s.relay_address), Int(s.relay_port), Int(s.hidden ? 1 : 0)}))) {
                return fail("cannot store the session of " + std::to_string(s.number));
            }
        }
        if (!c->ExecOk("COMMIT")) {
            return fail("cannot commit");
        }
        return true;
    } catch (const std::runtime_error& e) {
        *error = e.what();
        return false;
    }
}

bool PostgresStore::ImportSubscriber(const SubscriberRow& row) {
    return Guarded(false, [&]() -> bool {
        Lease c = Acquire(Pool::kDurable);
        const NewSubscriber& s = row.data;
        return Ok(c->Run("insert_subscriber",
                         {Int(row.number), Bytes(s.name), Text(s.password_hash), Bytes(s.email),
                          Bytes(EmailKey(s.email)), Bytes(s.country), Bytes(s.city),
                          Int(row.registered_at), Text(s.registered_from)}));
    });
}

}  // namespace kestrona::server
