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

}  // namespace kestrona::server
