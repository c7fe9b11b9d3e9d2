// A scratch directory for one test, removed afterwards, with the settings
// root pointed into it so no test touches a real home.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
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

// TempDir that is also the settings root, with the data home ("data/") in it.
class ConfigHome : public TempDir {
  public:
    ConfigHome() {
        ::setenv("KESTRONA_CONFIG_HOME", path().c_str(), 1);
        if (const char* old = std::getenv("XDG_DATA_HOME")) {
            oldDataHome_ = old;
        }
        ::setenv("XDG_DATA_HOME", (path() / "data").c_str(), 1);
    }
    ~ConfigHome() {
        ::unsetenv("KESTRONA_CONFIG_HOME");
        if (oldDataHome_) {
            ::setenv("XDG_DATA_HOME", oldDataHome_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
    }
    // The phone's data folder under this home.
    std::filesystem::path PhoneDir() const { return path() / "data" / "kestrona" / "phone"; }

  private:
    std::optional<std::string> oldDataHome_;
};

}  // namespace kestrona::testing
