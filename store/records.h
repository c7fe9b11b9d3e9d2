// The fixed-size records of the phone-book and call-history files. The structs
// hold the fields in their file order; the bytes on disk are produced and read
// field by field (integers little-endian), so the files are the same whatever
// the host. Text fields hold code page 936 (GBK), zero-padded; use the UTF-8
// accessors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrona {

// Local date and time in the layout the history file stores: eight unsigned
// 16-bit values.
struct SystemTime {
    uint16_t wYear = 0;
    uint16_t wMonth = 0;
    uint16_t wDayOfWeek = 0;  // 0 = Sunday
    uint16_t wDay = 0;
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;
};
static_assert(sizeof(SystemTime) == 16);

SystemTime LocalNow();

struct GroupRecord {
    static constexpr std::size_t kSize = 24;
    static constexpr std::size_t kNameMax = 19;  // bytes before the terminating zero

    int32_t id = 0;
    char name[20] = {};

    std::string Name() const;             // UTF-8
    void SetName(std::string_view utf8);  // cut to 19 bytes at a character boundary
};
static_assert(sizeof(GroupRecord) == GroupRecord::kSize);

struct PersonRecord {
    static constexpr std::size_t kSize = 72;
    static constexpr std::size_t kNameMax = 19;
    static constexpr std::size_t kEmailMax = 30;

    int32_t number = 0;  // above 0 for a contact; -1 marks one deleted in memory
    char name[20] = {};
    char email[32] = {};
    int32_t group = 0;
    char reserved[12] = {};

    std::string Name() const;
    void SetName(std::string_view utf8);
    std::string Email() const;
    void SetEmail(std::string_view utf8);
};
static_assert(sizeof(PersonRecord) == PersonRecord::kSize);

// History record types, which also choose the file.
enum HistoryType : int32_t {
    kHistoryTaken = 0,   // "list/ilist.dat"
    kHistoryMade = 1,    // "list/olist.dat"
    kHistoryMissed = 2,  // "list/mlist.dat"
};

struct HistoryRecord {
    static constexpr std::size_t kSize = 76;
    static constexpr std::size_t kNameMax = 19;
    static constexpr std::size_t kStemLength = 14;

    int32_t number = 0;  // -1 marks a record deleted in memory
    char name[20] = {};
    int32_t type = 0;
    SystemTime time;
    uint8_t recorded = 0;
    char stem[15] = {};
    int32_t rate = 0;
    char reserved[12] = {};

    std::string Name() const;
    void SetName(std::string_view utf8);
    std::string Stem() const;  // the 14 digits; empty when the field holds anything else
};
static_assert(sizeof(HistoryRecord) == HistoryRecord::kSize);

// "%.4d%.2d%.2d%.2d%.2d%.2d" of year, month, day, hour, minute, second: the
// stem of the recording files "record/" + stem + "in" and "out".
std::string MakeRecordStem(const SystemTime& t);

std::array<uint8_t, GroupRecord::kSize> ToBytes(const GroupRecord& r);
std::array<uint8_t, PersonRecord::kSize> ToBytes(const PersonRecord& r);
std::array<uint8_t, HistoryRecord::kSize> ToBytes(const HistoryRecord& r);
// Each reads exactly the record's size from bytes.
GroupRecord GroupFromBytes(const uint8_t* bytes);
PersonRecord PersonFromBytes(const uint8_t* bytes);
HistoryRecord HistoryFromBytes(const uint8_t* bytes);

}  // namespace kestrona
