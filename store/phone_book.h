// The phone book: groups in "list/group.dat" and contacts in
// "list/person.dat", both plain sequences of fixed-size records relative to
// the working directory (or to `root` when given; the directory "list" is not
// created here).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "store/records.h"

namespace kestrona {

inline constexpr const char* kGroupFile = "list/group.dat";
inline constexpr const char* kPersonFile = "list/person.dat";

// Groups and contacts in file order; a missing file gives none. A short
// record at the end (left by a crash) is kept, its missing bytes read as
// zero, so the next save writes it back whole.
std::vector<GroupRecord> LoadGroups(const std::filesystem::path& root = {});
std::vector<PersonRecord> LoadPersons(const std::filesystem::path& root = {});

enum class SaveBookResult {
    kSaved,
    kGroupsFailed,   // "list/group.dat" could not be written: nothing was saved
    kPersonsFailed,  // the groups were saved, "list/person.dat" was not
};
// Writes every group, then every contact whose number is above 0, each file
// replaced whole (a failure keeps the old file).
SaveBookResult SaveBook(const std::vector<GroupRecord>& groups,
                        const std::vector<PersonRecord>& persons,
                        const std::filesystem::path& root = {});

// One more than the largest group id; 1 when there are none.
int32_t NextGroupId(const std::vector<GroupRecord>& groups);

// Name (UTF-8) of the first contact in "list/person.dat" with that number.
// False, and nameOut unchanged, when there is none or the file is missing.
bool FindNameByNumber(int32_t number, std::string& nameOut, const std::filesystem::path& root = {});
// The same lookup giving the name's GBK bytes (at most 19) as stored.
bool FindGbkNameByNumber(int32_t number, std::string& gbkOut,
                         const std::filesystem::path& root = {});

}  // namespace kestrona
