#include "server/open_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "server/postgres_store.h"
#include "server/sqlite_store.h"

namespace kestrona::server {

void PreparePrivateFile(const std::string& path) {
    // The file holds subscribers' e-mail addresses and password hashes: the
    // folders made for it are the owner's alone, and so is the file, which
    // is made before the database opens it (its journal and WAL files take
    // its mode). An existing file or folder keeps the mode its owner gave it.
    if (path.empty() || path == ":memory:" || path.starts_with("file:")) {
        return;
    }
    std::error_code ec;
    std::vector<std::filesystem::path> made;
    for (std::filesystem::path dir = std::filesystem::path(path).parent_path();
         !dir.empty() && !std::filesystem::exists(dir, ec); dir = dir.parent_path()) {
        made.push_back(dir);
        if (dir == dir.parent_path()) {
            break;
        }
    }
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            return;  // the open that follows reports it
        }
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    }
}

bool IsPostgresSpec(const std::string& spec) {
    return spec.starts_with("postgresql://") || spec.starts_with("postgres://");
}

std::unique_ptr<SubscriberStore> OpenStore(const std::string& spec, int connections) {
    if (IsPostgresSpec(spec)) {
        return std::make_unique<PostgresStore>(spec, connections);
    }
    std::string path = spec.starts_with("sqlite:") ? spec.substr(7) : spec;
    PreparePrivateFile(path);
    return std::make_unique<SqliteStore>(path);
}

}  // namespace kestrona::server
