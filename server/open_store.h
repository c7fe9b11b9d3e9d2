// Opens the store that a --db value names.
#pragma once

#include <memory>
#include <string>

#include "server/store.h"

namespace kestrona::server {

// "postgresql://…" or "postgres://…": PostgreSQL with a pool of connections.
// "sqlite:PATH" or a plain path: the SQLite file, its folder created when
// missing. Throws std::runtime_error when the store cannot be opened.
std::unique_ptr<SubscriberStore> OpenStore(const std::string& spec, int connections);
bool IsPostgresSpec(const std::string& spec);

}  // namespace kestrona::server
