#include "server/open_store.h"

#include <filesystem>

#include "server/postgres_store.h"
#include "server/sqlite_store.h"

namespace kestrona::server {

bool IsPostgresSpec(const std::string& spec) {
    return spec.starts_with("postgresql://") || spec.starts_with("postgres://");
}

std::unique_ptr<SubscriberStore> OpenStore(const std::string& spec, int connections) {
    if (IsPostgresSpec(spec)) {
        return std::make_unique<PostgresStore>(spec, connections);
    }
    std::string path = spec.starts_with("sqlite:") ? spec.substr(7) : spec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent);
    }
    return std::make_unique<SqliteStore>(path);
}

}  // namespace kestrona::server
