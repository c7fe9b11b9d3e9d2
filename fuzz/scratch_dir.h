// A private folder for readers that take a path: each input is written to a
// file there and read back through the real file code.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace fuzz {

// Made once per process, in memory where the machine has /dev/shm, and
// removed at exit.
inline const std::filesystem::path& ScratchDir() {
    static const std::filesystem::path dir = [] {
        std::error_code ec;
        std::string base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec)) {
            base = std::filesystem::temp_directory_path(ec).string();
        }
        std::string pattern = base + "/kestrona-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::abort();
        }
        static const std::filesystem::path made = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        return made;
    }();
    return dir;
}

inline void WriteFile(const std::filesystem::path& file, const uint8_t* data, size_t size) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) {
        std::abort();
    }
}

}  // namespace fuzz
