#include "store/call_history.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "platform/temp_dir.h"
#include "store/phone_book.h"

namespace kestrona {
namespace {

namespace fs = std::filesystem;

SystemTime At(uint16_t hour, uint16_t minute, uint16_t second) {
    SystemTime t;
    t.wYear = 2003;
    t.wMonth = 5;
    t.wDayOfWeek = 6;
    t.wDay = 17;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    return t;
}

class CallHistoryTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directory(dir_.path() / "list"); }
    const fs::path& root() const { return dir_.path(); }
    HistoryRecord Made(int32_t number, uint16_t second) {
        HistoryRecord r = BeginRecord(number, kHistoryMade, At(9, 15, second), root());
        r.rate = 8000;
        return r;
    }
    testing::TempDir dir_;
};

TEST_F(CallHistoryTest, BeginRecordFillsNumberTimeStemAndPhoneBookName) {
    PersonRecord p;
    p.number = 8001;
    p.SetName("张三");
    ASSERT_EQ(SaveBook({}, {p}, root()), SaveBookResult::kSaved);

    const HistoryRecord known = BeginRecord(8001, kHistoryTaken, At(9, 15, 3), root());
    EXPECT_EQ(known.number, 8001);
    EXPECT_EQ(known.type, kHistoryTaken);
    EXPECT_EQ(known.Name(), "张三");
    EXPECT_EQ(known.Stem(), "20030517091503");
    EXPECT_EQ(known.time.wHour, 9);
    EXPECT_EQ(known.recorded, 0);

    const HistoryRecord unknown = BeginRecord(9999, kHistoryMissed, At(9, 15, 3), root());
    const char zeros[20] = {};
    EXPECT_EQ(std::memcmp(unknown.name, zeros, sizeof zeros), 0);
    EXPECT_EQ(unknown.Stem().size(), HistoryRecord::kStemLength);
}

TEST_F(CallHistoryTest, AppendAndReadBack) {
    EXPECT_TRUE(ReadHistory(HistoryFile(kHistoryMade, root())).empty());
    for (uint16_t s = 1; s <= 3; ++s) {
        ASSERT_EQ(AppendRecord(Made(100 + s, s), root()), AppendResult::kAppended);
    }
    EXPECT_EQ(fs::file_size(HistoryFile(kHistoryMade, root())), 228u);
    const auto records = ReadHistory(HistoryFile(kHistoryMade, root()));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].number, 101);  // oldest first
    EXPECT_EQ(records[2].Stem(), "20030517091503");
    EXPECT_EQ(records[2].rate, 8000);  // unrecorded calls still carry stem and rate

    HistoryRecord bad = Made(1, 1);
    bad.type = 3;
    EXPECT_EQ(AppendRecord(bad, root()), AppendResult::kBadType);
    testing::TempDir noList;
    EXPECT_EQ(AppendRecord(Made(1, 1), noList.path()), AppendResult::kOpenFailed);
}

TEST_F(CallHistoryTest, TornRecordDoesNotMisalignLaterAppends) {
    const fs::path file = HistoryFile(kHistoryMade, root());
    ASSERT_EQ(AppendRecord(Made(101, 1), root()), AppendResult::kAppended);
    ASSERT_EQ(AppendRecord(Made(102, 2), root()), AppendResult::kAppended);
    // A crash cut the second record short.
    fs::resize_file(file, HistoryRecord::kSize + 30);

    ASSERT_EQ(AppendRecord(Made(103, 3), root()), AppendResult::kAppended);
    ASSERT_EQ(AppendRecord(Made(104, 4), root()), AppendResult::kAppended);
    EXPECT_EQ(fs::file_size(file), 4 * HistoryRecord::kSize);
    const auto records = ReadHistory(file);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1].number, 102);  // what survived of the torn one
    EXPECT_EQ(records[1].rate, 0);
    EXPECT_EQ(records[2].number, 103);
    EXPECT_EQ(records[3].number, 104);
    EXPECT_EQ(records[3].Stem(), "20030517091504");
    EXPECT_EQ(records[3].rate, 8000);
}

TEST_F(CallHistoryTest, RewriteDropsDeletedAndLeavesAnEmptyFile) {
    const fs::path file = HistoryFile(kHistoryMade, root());
    for (uint16_t s = 1; s <= 3; ++s) {
        ASSERT_EQ(AppendRecord(Made(100 + s, s), root()), AppendResult::kAppended);
    }
    auto records = ReadHistory(file);
    records[1].number = -1;
    ASSERT_TRUE(RewriteHistory(file, records));
    records = ReadHistory(file);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].number, 103);

    ASSERT_TRUE(RewriteHistory(file, {}));
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);

    // Deleting all in a list that never had a file creates it empty.
    const fs::path missed = HistoryFile(kHistoryMissed, root());
    ASSERT_TRUE(RewriteHistory(missed, {}));
    EXPECT_TRUE(fs::exists(missed));
}

}  // namespace
}  // namespace kestrona
