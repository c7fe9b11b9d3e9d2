// Opens the store that a --db value names.
#pragma once

#include <memory>
#include <string>

#include "server/store.h"

namespace kestrona::server {

// "postgresql://…" or "postgres://…": PostgreSQL with a pool of connections.
// "sqlite:PATH" or a plain path: the SQLite file, made private (0600, in
// folders made 0700) when missing. Throws std::runtime_error when the store cannot be opened.
std::unique_ptr<SubscriberStore> OpenStore(const std::string& spec, int connections);
bool IsPostgresSpec(const std::string& spec);
// Makes the missing folders of a database file (0700) and the file itself
// (0600), leaving whatever exists as it is.
void PreparePrivateFile(const std::string& path);

}  // namespace kestrona::server
