// The directory's tables, written once for both databases. The steps name
// the few types and words in which the two dialects differ; each store runs
// the steps its database has not seen yet.
#pragma once

#include <string>

namespace kestrona::server {

enum class SqlDialect { kSqlite, kPostgres };

// The SQL that brings a database from version step to step + 1 (step from 0
// to kSchemaVersion - 1).
std::string SchemaStep(int step, SqlDialect dialect);

// Why a server refuses a database at a version newer than its own: the
// release that upgraded it must run on it. The refusal changes nothing.
std::string NewerSchemaRefusal(int version);

}  // namespace kestrona::server
