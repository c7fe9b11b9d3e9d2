// Whole-file replacement that survives a crash or a full disk: the new content
// goes to a temporary file beside the target, is flushed to the disk and only
// then renamed over the target, so a reader sees either the old file or the
// new one, never a truncated mix.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>
#include <system_error>

namespace kestrona {

// Replaces (or creates) path with data. The directory must exist. On failure
// the old file is untouched, the temporary file is removed and ec says why.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data,
                         std::error_code& ec);
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view data);

// Reads a whole file. False (ec set) when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& path, std::string& out, std::error_code& ec);

// Test seam: called with the temporary file's path after it is complete and
// flushed, right before the rename. Lets a test end the process at the worst
// moment. Not thread-safe to change while writes are running; pass {} to clear.
void SetBeforeRenameHookForTest(std::function<void(const std::filesystem::path& tmp)> hook);

}  // namespace kestrona
