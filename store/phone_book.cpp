#include "store/phone_book.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/gbk.h"
#include "store/record_file.h"

namespace kestrona {
namespace {

std::filesystem::path InRoot(const std::filesystem::path& root, const char* file) {
    return root.empty() ? std::filesystem::path(file) : root / file;
}

const uint8_t* Bytes(const std::string& chunk) {
    return reinterpret_cast<const uint8_t*>(chunk.data());
}

template <std::size_t N>
void Append(std::string& out, const std::array<uint8_t, N>& bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), N);
}

}  // namespace

std::vector<GroupRecord> LoadGroups(const std::filesystem::path& root) {
    std::vector<GroupRecord> groups;
    for (const std::string& chunk :
         ReadRecordChunks(InRoot(root, kGroupFile), GroupRecord::kSize)) {
        groups.push_back(GroupFromBytes(Bytes(chunk)));
    }
    return groups;
}

std::vector<PersonRecord> LoadPersons(const std::filesystem::path& root) {
    std::vector<PersonRecord> persons;
    for (const std::string& chunk :
         ReadRecordChunks(InRoot(root, kPersonFile), PersonRecord::kSize)) {
        persons.push_back(PersonFromBytes(Bytes(chunk)));
    }
    return persons;
}

SaveBookResult SaveBook(const std::vector<GroupRecord>& groups,
                        const std::vector<PersonRecord>& persons,
                        const std::filesystem::path& root) {
    std::string groupBytes;
    for (const GroupRecord& g : groups) {
        // Only id and name go out; the name is written zero-padded and
        // terminated, as a group record always is.
        GroupRecord clean;
        clean.id = g.id;
        const std::size_t len = GbkFitLength(
            std::string_view(g.name, strnlen(g.name, sizeof g.name)), GroupRecord::kNameMax);
        std::memcpy(clean.name, g.name, len);
        Append(groupBytes, ToBytes(clean));
    }
    if (!ReplaceFile(InRoot(root, kGroupFile), groupBytes)) {
        return SaveBookResult::kGroupsFailed;
    }
    std::string personBytes;
    for (const PersonRecord& p : persons) {
        if (p.number > 0) {
            Append(personBytes, ToBytes(p));
        }
    }
    if (!ReplaceFile(InRoot(root, kPersonFile), personBytes)) {
        return SaveBookResult::kPersonsFailed;
    }
    return SaveBookResult::kSaved;
}

int32_t NextGroupId(const std::vector<GroupRecord>& groups) {
    int32_t largest = 0;
    for (const GroupRecord& g : groups) {
        largest = std::max(largest, g.id);
    }
    if (largest < INT32_MAX) {
        return largest + 1;
    }
    // Only a foreign file can get here; take the smallest free id instead of
    // overflowing into a negative one.
    int32_t id = 1;
    while (std::any_of(groups.begin(), groups.end(),
                       [&](const GroupRecord& g) { return g.id == id; })) {
        ++id;
    }
    return id;
}

bool FindGbkNameByNumber(int32_t number, std::string& gbkOut, const std::filesystem::path& root) {
    for (const std::string& chunk :
         ReadRecordChunks(InRoot(root, kPersonFile), PersonRecord::kSize)) {
        const PersonRecord p = PersonFromBytes(Bytes(chunk));
        if (p.number == number) {
            // A name that fills its field without a terminating zero (a
            // foreign file) is cut to the 19 bytes any name field may hold.
            const std::string_view name(p.name, strnlen(p.name, sizeof p.name));
            gbkOut.assign(name.substr(0, GbkFitLength(name, PersonRecord::kNameMax)));
            return true;
        }
    }
    return false;
}

bool FindNameByNumber(int32_t number, std::string& nameOut, const std::filesystem::path& root) {
    std::string gbk;
    if (!FindGbkNameByNumber(number, gbk, root)) {
        return false;
    }
    nameOut = GbkToUtf8(gbk);
    return true;
}

}  // namespace kestrona
