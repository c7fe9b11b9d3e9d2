#include "store/records.h"

#include <gtest/gtest.h>

#include <cstring>

#include <string>
#include <vector>

namespace kestrona {
namespace {

// "01 ab ..." (spaces ignored) to bytes.
std::vector<uint8_t> Hex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

template <typename Array>
std::vector<uint8_t> Vec(const Array& a) {
    return {a.begin(), a.end()};
}

TEST(RecordsTest, GroupLayout) {
    GroupRecord g;
    g.id = 258;
    g.SetName("家人");
    const auto expected =
        Hex("02 01 00 00"
            "bc d2 c8 cb 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(Vec(ToBytes(g)), expected);
    const GroupRecord back = GroupFromBytes(expected.data());
    EXPECT_EQ(back.id, 258);
    EXPECT_EQ(back.Name(), "家人");

    g.SetName("同学同学同学同学同学同学");  // 24 bytes: nine characters fit in 19
    EXPECT_EQ(g.Name(), "同学同学同学同学同");
}

TEST(RecordsTest, PersonLayout) {
    PersonRecord p;
    p.number = 12345;
    p.SetName("张三");
    p.SetEmail("a@b.cn");
    p.group = -2;
    const auto expected =
        Hex("39 30 00 00"
            "d5 c5 c8 fd 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
            "61 40 62 2e 63 6e 00 00 00 00 00 00 00 00 00 00"
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
            "fe ff ff ff"
            "00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(Vec(ToBytes(p)), expected);
    const PersonRecord back = PersonFromBytes(expected.data());
    EXPECT_EQ(back.number, 12345);
    EXPECT_EQ(back.Name(), "张三");
    EXPECT_EQ(back.Email(), "a@b.cn");
    EXPECT_EQ(back.group, -2);

    p.SetEmail(std::string(31, 'e'));
    EXPECT_EQ(p.Email().size(), PersonRecord::kEmailMax);
}

TEST(RecordsTest, HistoryLayoutAndStem) {
    SystemTime t;
    t.wYear = 2003;
    t.wMonth = 5;
    t.wDayOfWeek = 6;
    t.wDay = 17;
    t.wHour = 9;
    t.wMinute = 15;
    t.wSecond = 3;
    t.wMilliseconds = 250;
    EXPECT_EQ(MakeRecordStem(t), "20030517091503");

    HistoryRecord h;
    h.number = 8001;
    h.SetName("李四");
    h.type = kHistoryMade;
    h.time = t;
    h.recorded = 1;
    std::memcpy(h.stem, "20030517091503", 14);
    h.rate = 8000;
    const auto expected =
        Hex("41 1f 00 00"
            "c0 ee cb c4 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
            "01 00 00 00"
            "d3 07 05 00 06 00 11 00 09 00 0f 00 03 00 fa 00"
            "01"
            "32 30 30 33 30 35 31 37 30 39 31 35 30 33 00"
            "40 1f 00 00"
            "00 00 00 00 00 00 00 00 00 00 00 00");
    ASSERT_EQ(expected.size(), HistoryRecord::kSize);
    EXPECT_EQ(Vec(ToBytes(h)), expected);

    const HistoryRecord back = HistoryFromBytes(expected.data());
    EXPECT_EQ(back.number, 8001);
    EXPECT_EQ(back.Name(), "李四");
    EXPECT_EQ(back.type, 1);
    EXPECT_EQ(back.time.wYear, 2003);
    EXPECT_EQ(back.time.wMilliseconds, 250);
    EXPECT_EQ(back.recorded, 1);
    EXPECT_EQ(back.Stem(), "20030517091503");
    EXPECT_EQ(back.rate, 8000);

    // A stem that is not digits names no recording: deleting the record must
    // not remove "/home/u/.login" or "../x" + "in".
    for (const char* foreign : {"/home/u/.log", "../../../x", "2003 0517"}) {
        HistoryRecord f = back;
        std::memset(f.stem, 0, sizeof f.stem);
        std::memcpy(f.stem, foreign, std::strlen(foreign));
        EXPECT_EQ(f.Stem(), "") << foreign;
    }
}

TEST(RecordsTest, ForeignBytesSurviveARoundTrip) {
    // Whatever another installation left in a record comes back unchanged.
    std::vector<uint8_t> bytes(HistoryRecord::kSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(Vec(ToBytes(HistoryFromBytes(bytes.data()))), bytes);
    bytes.resize(PersonRecord::kSize);
    EXPECT_EQ(Vec(ToBytes(PersonFromBytes(bytes.data()))), bytes);
}

}  // namespace
}  // namespace kestrona
