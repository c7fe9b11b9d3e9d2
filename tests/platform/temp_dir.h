// A scratch directory for one test, removed afterwards, with the settings
// root pointed into it so no test touches a real home.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace kestrona::testing {

class TempDir {
  public:
    TempDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "kestrona-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) {
            path_ = tmpl;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// TempDir that is also the settings root.
class ConfigHome : public TempDir {
  public:
    ConfigHome() { ::setenv("KESTRONA_CONFIG_HOME", path().c_str(), 1); }
    ~ConfigHome() { ::unsetenv("KESTRONA_CONFIG_HOME"); }
};

}  // namespace kestrona::testing
