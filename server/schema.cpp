#include "server/schema.h"

#include <iterator>
#include <stdexcept>
#include <string_view>

#include "server/store.h"

namespace kestrona::server {

namespace {

// {bytes}: texts kept as the phone sent them; {bigint}: 64-bit integers;
// {id}: a row number the database hands out; {unlogged}: a table that a
// crash of the database may empty.
struct Step {
    const char* sql;
    // What only a PostgreSQL database needs.
    const char* postgres_only = "";
};

// Step n brings a database from version n - 1 to n. Step 1 is the schema of
// the first server, which kept no version: its SQLite files are at version 0
// here and step 1 finds their tables in place.
constexpr Step kSteps[] = {
    {R"sql(
CREATE TABLE IF NOT EXISTS subscribers (
    number integer PRIMARY KEY,
    name {bytes} NOT NULL,
    password_hash text NOT NULL,
    email {bytes} NOT NULL,
    email_key {bytes} NOT NULL UNIQUE,
    country {bytes} NOT NULL,
    city {bytes} NOT NULL,
    registered_at {bigint} NOT NULL,
    registered_from text NOT NULL
);
CREATE TABLE IF NOT EXISTS call_reports (
    id {id},
    reported_at {bigint} NOT NULL,
    kind integer NOT NULL,
    other integer NOT NULL,
    own integer NOT NULL,
    seconds integer NOT NULL,
    reported_from text NOT NULL
);
)sql"},
    {R"sql(
CREATE TABLE sessions (
    number integer PRIMARY KEY,
    address text NOT NULL,
    port integer NOT NULL,
    last_seen_ms {bigint} NOT NULL
);
CREATE INDEX sessions_last_seen ON sessions (last_seen_ms);
CREATE TABLE housekeeping (
    task text PRIMARY KEY,
    next_run_ms {bigint} NOT NULL
);
INSERT INTO housekeeping (task, next_run_ms) VALUES ('sweep', 0);
CREATE TABLE retired_numbers (number integer PRIMARY KEY);
)sql"},
    // Counts of failed logins are not worth a disk write each, and a crash
    // of the database that forgets them costs a guesser's allowance once.
    {R"sql(
CREATE {unlogged}TABLE limit_state (
    key text PRIMARY KEY,
    value text NOT NULL,
    expires_ms {bigint} NOT NULL
);
)sql"},
    // Every keep-alive rewrites last_seen_ms: without an index on it, and
    // with room left in each page, those updates touch no index (and stay
    // on their page in PostgreSQL). The sweep and the count scan the table
    // instead, once per time-out and every other second.
    {R"sql(
DROP INDEX IF EXISTS sessions_last_seen;
)sql",
     R"sql(
ALTER TABLE sessions SET (fillfactor = 80);
)sql"},
    // The address a phone holds on a relay, which callers are given instead
    // of the one it logged in from; empty and 0 while it holds none.
    {R"sql(
ALTER TABLE sessions ADD COLUMN relay_address text NOT NULL DEFAULT '';
ALTER TABLE sessions ADD COLUMN relay_port integer NOT NULL DEFAULT 0;
)sql"},
    // 1 while the phone asks to appear offline to presence look-ups.
    {R"sql(
ALTER TABLE sessions ADD COLUMN hidden integer NOT NULL DEFAULT 0;
)sql"},
};
static_assert(std::size(kSteps) == kSchemaVersion);

void Replace(std::string& sql, std::string_view token, std::string_view with) {
    for (std::size_t at = sql.find(token); at != std::string::npos;
         at = sql.find(token, at + with.size())) {
        sql.replace(at, token.size(), with);
    }
}

}  // namespace

std::string NewerSchemaRefusal(int version) {
    return "the database is at schema version " + std::to_string(version) +
           ", newer than this server's " + std::to_string(kSchemaVersion) +
           ": a newer release has upgraded it and only that release (or a later one) can run "
           "on it; the database was left as it is";
}

std::string SchemaStep(int step, SqlDialect dialect) {
    if (step < 0 || step >= kSchemaVersion) {
        throw std::out_of_range("no schema step " + std::to_string(step));
    }
    const Step& s = kSteps[step];
    std::string sql = s.sql;
    const bool pg = dialect == SqlDialect::kPostgres;
    // In SQLite an INTEGER PRIMARY KEY is the row number itself.
    Replace(sql, "{id}", pg ? "bigserial PRIMARY KEY" : "INTEGER PRIMARY KEY");
    Replace(sql, "{bytes}", pg ? "bytea" : "BLOB");
    Replace(sql, "{bigint}", pg ? "bigint" : "INTEGER");
    Replace(sql, "{unlogged}", pg ? "UNLOGGED " : "");
    if (pg) {
        sql += s.postgres_only;
    }
    return sql;
}

}  // namespace kestrona::server
