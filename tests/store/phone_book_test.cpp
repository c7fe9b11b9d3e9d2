#include "store/phone_book.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "platform/atomic_file.h"
#include "platform/temp_dir.h"
#include "support/book_records.h"

namespace kestrona {
namespace {

namespace fs = std::filesystem;

using test::Group;
using test::Person;

class PhoneBookTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directory(dir_.path() / "list"); }
    const fs::path& root() const { return dir_.path(); }
    testing::TempDir dir_;
};

TEST_F(PhoneBookTest, MissingFilesGiveAnEmptyBookAndIdOne) {
    EXPECT_TRUE(LoadGroups(root()).empty());
    EXPECT_TRUE(LoadPersons(root()).empty());
    EXPECT_EQ(NextGroupId(LoadGroups(root())), 1);
    std::string name = "unchanged";
    EXPECT_FALSE(FindNameByNumber(5, name, root()));
    EXPECT_EQ(name, "unchanged");
}

TEST_F(PhoneBookTest, SaveAndLoadRoundTripDroppingDeletedAndNumberless) {
    const std::vector<GroupRecord> groups = {Group(1, "家人"), Group(2, "朋友"), Group(5, "Work")};
    std::vector<PersonRecord> persons = {Person(8001, "张三", 1), Person(8002, "李四", 2),
                                         Person(0, "no number", 1), Person(8003, "Orphan", 9)};
    ASSERT_EQ(SaveBook(groups, persons, root()), SaveBookResult::kSaved);
    EXPECT_EQ(fs::file_size(root() / kGroupFile), 3 * GroupRecord::kSize);
    EXPECT_EQ(fs::file_size(root() / kPersonFile), 3 * PersonRecord::kSize);

    const auto loadedGroups = LoadGroups(root());
    ASSERT_EQ(loadedGroups.size(), 3u);
    EXPECT_EQ(loadedGroups[1].id, 2);
    EXPECT_EQ(loadedGroups[1].Name(), "朋友");
    EXPECT_EQ(NextGroupId(loadedGroups), 6);
    // A foreign file at the top of the id range does not overflow into negatives.
    EXPECT_EQ(NextGroupId({Group(1, "a"), Group(INT32_MAX, "z")}), 2);

    persons = LoadPersons(root());
    ASSERT_EQ(persons.size(), 3u);
    EXPECT_EQ(persons[2].Name(), "Orphan");  // kept though its group is gone
    EXPECT_EQ(persons[0].Email(), "x@y.cn");

    persons[0].number = -1;  // deleted in the dialog
    ASSERT_EQ(SaveBook(loadedGroups, persons, root()), SaveBookResult::kSaved);
    EXPECT_EQ(fs::file_size(root() / kPersonFile), 2 * PersonRecord::kSize);
    EXPECT_EQ(LoadPersons(root())[0].number, 8002);
}

TEST_F(PhoneBookTest, FindNameByNumberTakesTheFirstRecordInTheFile) {
    ASSERT_EQ(SaveBook({Group(1, "a"), Group(2, "b")},
                       {Person(7, "First", 2), Person(8, "", 1), Person(7, "Second", 1)}, root()),
              SaveBookResult::kSaved);
    std::string name;
    EXPECT_TRUE(FindNameByNumber(7, name, root()));
    EXPECT_EQ(name, "First");
    EXPECT_TRUE(FindNameByNumber(8, name, root()));
    EXPECT_EQ(name, "");
}

TEST_F(PhoneBookTest, ForeignNameWithoutTerminatorIsCutTo19Bytes) {
    // 4-byte number then 20 name bytes with no zero: 19 ASCII + one more.
    std::string rec(PersonRecord::kSize, '\0');
    rec[0] = 9;
    for (int i = 0; i < 20; ++i) {
        rec[4 + i] = static_cast<char>('A' + i);
    }
    ASSERT_TRUE(WriteFileAtomically(root() / kPersonFile, rec));
    std::string gbk;
    ASSERT_TRUE(FindGbkNameByNumber(9, gbk, root()));
    EXPECT_EQ(gbk, "ABCDEFGHIJKLMNOPQRS");
}

TEST_F(PhoneBookTest, TornLastRecordReadsZeroPaddedAndIsRepairedBySave) {
    std::string bytes;
    for (const auto& g : {Group(1, "家人"), Group(2, "朋友")}) {
        const auto b = ToBytes(g);
        bytes.append(reinterpret_cast<const char*>(b.data()), b.size());
    }
    bytes.resize(GroupRecord::kSize + 8);  // id and half the name of the second
    ASSERT_TRUE(WriteFileAtomically(root() / kGroupFile, bytes));
    const auto groups = LoadGroups(root());
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1].id, 2);
    EXPECT_EQ(groups[1].Name(), "朋友");
    ASSERT_EQ(SaveBook(groups, {}, root()), SaveBookResult::kSaved);
    EXPECT_EQ(fs::file_size(root() / kGroupFile), 2 * GroupRecord::kSize);
}

TEST_F(PhoneBookTest, FailedSavesKeepWhatWasThere) {
    ASSERT_EQ(SaveBook({Group(1, "old")}, {Person(1, "old", 1)}, root()), SaveBookResult::kSaved);

    // person.dat cannot be replaced (a directory is in its way): the groups go out.
    testing::TempDir other;
    fs::create_directories(other.path() / kPersonFile);
    EXPECT_EQ(SaveBook({Group(3, "new")}, {Person(2, "new", 3)}, other.path()),
              SaveBookResult::kPersonsFailed);
    EXPECT_EQ(LoadGroups(other.path()).at(0).id, 3);

    // No "list" directory: nothing at all.
    testing::TempDir empty;
    EXPECT_EQ(SaveBook({Group(3, "new")}, {}, empty.path()), SaveBookResult::kGroupsFailed);
    EXPECT_FALSE(fs::exists(empty.path() / kGroupFile));
    EXPECT_EQ(LoadGroups(root()).at(0).Name(), "old");
}

}  // namespace
}  // namespace kestrona
