// Reading and writing files that are plain sequences of fixed-size records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/atomic_file.h"

namespace kestrona {

// The records of a file, each of `size` bytes, in file order. A short last
// record (a write cut off by a crash) is kept with its missing bytes as zero.
// A missing or unreadable file gives none.
std::vector<std::string> ReadRecordChunks(const std::filesystem::path& file, std::size_t size);

// Replaces a file with the given bytes; the old file stays whole on failure.
inline bool ReplaceFile(const std::filesystem::path& file, const std::string& bytes) {
    return WriteFileAtomically(file, bytes);
}

}  // namespace kestrona
