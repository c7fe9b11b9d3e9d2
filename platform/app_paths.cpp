#include "platform/app_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#ifndef KESTRONA_RESOURCES_FROM_BINDIR
#define KESTRONA_RESOURCES_FROM_BINDIR "../share/kestrona"
#endif

namespace kestrona {
namespace {

namespace fs = std::filesystem;

fs::path HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return "/";
}

// An environment variable that names a folder; relative values are ignored,
// as the desktop's base-directory rules ask.
fs::path AbsoluteFromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) {
        return {};
    }
    fs::path path(value);
    return path.is_absolute() ? path : fs::path{};
}

}  // namespace

fs::path PhoneDataDir() {
    fs::path dataHome = AbsoluteFromEnv("XDG_DATA_HOME");
    if (dataHome.empty()) {
        dataHome = HomeDir() / ".local" / "share";
    }
    return dataHome / "kestrona" / "phone";
}

bool EnsurePhoneDataDirs(const fs::path& dir) {
    bool ok = true;
    for (const char* sub : {"list", "record"}) {
        std::error_code ec;
        fs::create_directories(dir / sub, ec);
        ok = fs::is_directory(dir / sub, ec) && ok;
    }
    return ok;
}

fs::path ExecutableDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path{} : exe.parent_path();
}

fs::path ResourceDir() {
    if (const char* value = std::getenv("KESTRONA_RESOURCE_DIR"); value && *value) {
        return value;
    }
    const fs::path bin = ExecutableDir();
    const fs::path installed = (bin / KESTRONA_RESOURCES_FROM_BINDIR).lexically_normal();
    std::error_code ec;
    if (!bin.empty() && fs::is_directory(installed, ec)) {
        return installed;
    }
    return bin;
}

fs::path ResourcePath(std::string_view relative) {
    return ResourceDir() / fs::path(relative);
}

}  // namespace kestrona
