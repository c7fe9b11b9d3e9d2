// The call history: one file of 76-byte records per kind of call, oldest
// first, relative to the working directory (or to `root` when given).
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "store/records.h"

namespace kestrona {

inline constexpr const char* kTakenFile = "list/ilist.dat";
inline constexpr const char* kMadeFile = "list/olist.dat";
inline constexpr const char* kMissedFile = "list/mlist.dat";

// The file of a record type (0, 1, 2); empty for any other type.
std::filesystem::path HistoryFile(int32_t type, const std::filesystem::path& root = {});

// A fresh record for the current call: all zero, then number, the current
// local time, type, the stem of that time and the name found for the number
// in the phone book (all zero when it is not there).
HistoryRecord BeginRecord(int32_t number, int32_t type, const std::filesystem::path& root = {});
// The same with a given time (for tests and replays).
HistoryRecord BeginRecord(int32_t number, int32_t type, const SystemTime& now,
                          const std::filesystem::path& root = {});

enum class AppendResult {
    kAppended,
    kBadType,     // type is not 0, 1 or 2: nothing written
    kOpenFailed,  // the file could not be opened or created: the user is told
                  // "File list.dat open failed"
    kWriteFailed,
};
// Appends the record to the file of its type. A short record left at the end
// of the file by an earlier crash is first padded with zeros to a whole
// record, so this one (and all after it) stay aligned.
AppendResult AppendRecord(const HistoryRecord& record, const std::filesystem::path& root = {});

// All records of a file in file order; a missing file gives none. A short
// record at the end reads with its missing bytes as zero.
std::vector<HistoryRecord> ReadHistory(const std::filesystem::path& file);
// Replaces the file (created when missing) with every record whose number is
// not -1, atomically: a failure keeps the old file.
bool RewriteHistory(const std::filesystem::path& file, const std::vector<HistoryRecord>& records);

}  // namespace kestrona
