// Feeds arbitrary files to the phone-book and call-history readers, as any of
// the files a user's folder holds (copied from elsewhere, cut by a crash, or
// edited by hand), and checks what the rest of the phone relies on: every
// record is read, byte for byte; saving and reading again keeps them; an
// appended call record lands whole on a record boundary; and a record can only
// name a recording inside the recordings folder.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/scratch_dir.h"
#include "store/call_history.h"
#include "store/phone_book.h"

namespace {

using namespace kestrona;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

size_t RecordCount(size_t size, size_t recordSize) {
    return (size + recordSize - 1) / recordSize;
}

// The record's bytes in the file, a short last one padded with zeros.
template <size_t N>
bool SameBytes(const std::array<uint8_t, N>& bytes, const uint8_t* data, size_t size, size_t i) {
    const size_t start = i * N;
    const size_t have = std::min(N, size - start);
    if (std::memcmp(bytes.data(), data + start, have) != 0) {
        return false;
    }
    for (size_t k = have; k < N; ++k) {
        if (bytes[k] != 0) {
            return false;
        }
    }
    return true;
}

void CheckBook(const std::filesystem::path& root, const uint8_t* data, size_t size) {
    fuzz::WriteFile(root / kGroupFile, data, size);
    fuzz::WriteFile(root / kPersonFile, data, size);
    const std::vector<GroupRecord> groups = LoadGroups(root);
    const std::vector<PersonRecord> persons = LoadPersons(root);
    Require(groups.size() == RecordCount(size, GroupRecord::kSize));
    Require(persons.size() == RecordCount(size, PersonRecord::kSize));
    for (size_t i = 0; i < groups.size(); ++i) {
        Require(SameBytes(ToBytes(groups[i]), data, size, i));
        (void)groups[i].Name();
    }
    for (size_t i = 0; i < persons.size(); ++i) {
        Require(SameBytes(ToBytes(persons[i]), data, size, i));
        (void)persons[i].Name();
        (void)persons[i].Email();
    }

    const int32_t fresh = NextGroupId(groups);
    Require(fresh > 0);
    for (const GroupRecord& g : groups) {
        Require(g.id != fresh);
    }

    if (!persons.empty()) {
        std::string name;
        Require(FindNameByNumber(persons.front().number, name, root));
    }

    // Saved and read back: every group (its name cut to what a name field
    // holds) and every contact with a number.
    const std::filesystem::path saved = root / "saved";
    std::error_code ec;
    std::filesystem::create_directories(saved / "list", ec);
    Require(SaveBook(groups, persons, saved) == SaveBookResult::kSaved);
    const std::vector<GroupRecord> groupsAgain = LoadGroups(saved);
    Require(groupsAgain.size() == groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
        const GroupRecord& g = groupsAgain[i];
        Require(g.id == groups[i].id);
        const size_t len = strnlen(g.name, sizeof g.name);
        Require(len <= GroupRecord::kNameMax && std::memcmp(g.name, groups[i].name, len) == 0);
    }
    std::vector<PersonRecord> kept;
    for (const PersonRecord& p : persons) {
        if (p.number > 0) {
            kept.push_back(p);
        }
    }
    const std::vector<PersonRecord> personsAgain = LoadPersons(saved);
    Require(personsAgain.size() == kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        Require(ToBytes(personsAgain[i]) == ToBytes(kept[i]));
    }
}

void CheckHistory(const std::filesystem::path& root, const uint8_t* data, size_t size) {
    const std::filesystem::path file = HistoryFile(kHistoryTaken, root);
    fuzz::WriteFile(file, data, size);
    std::vector<HistoryRecord> records = ReadHistory(file);
    Require(records.size() == RecordCount(size, HistoryRecord::kSize));
    for (size_t i = 0; i < records.size(); ++i) {
        Require(SameBytes(ToBytes(records[i]), data, size, i));
        (void)records[i].Name();
        // The stem names files under "record/": digits only, never a path.
        for (char c : records[i].Stem()) {
            Require(c >= '0' && c <= '9');
        }
    }

    // A new call's record goes after a torn one, on a record boundary.
    SystemTime now;
    now.wYear = 2026;
    now.wMonth = 12;
    now.wDay = 8;
    const HistoryRecord added = BeginRecord(12345, kHistoryTaken, now, root);
    Require(AppendRecord(added, root) == AppendResult::kAppended);
    std::vector<HistoryRecord> after = ReadHistory(file);
    Require(after.size() == records.size() + 1);
    Require(ToBytes(after.back()) == ToBytes(added));

    // Deleting one record rewrites the rest unchanged.
    if (!records.empty()) {
        records.front().number = -1;
    }
    Require(RewriteHistory(file, records));
    const std::vector<HistoryRecord> rewritten = ReadHistory(file);
    size_t k = 0;
    for (const HistoryRecord& r : records) {
        if (r.number != -1) {
            Require(k < rewritten.size() && ToBytes(rewritten[k]) == ToBytes(r));
            ++k;
        }
    }
    Require(k == rewritten.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path root = fuzz::ScratchDir() / "user";
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::filesystem::create_directories(root / "list", ec);
    CheckBook(root, data, size);
    CheckHistory(root, data, size);
    return 0;
}
