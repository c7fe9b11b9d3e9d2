#include "platform/gbk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kestrona {
namespace {

TEST(GbkTest, ConvertsChineseBothWaysAndKeepsAscii) {
    EXPECT_EQ(Utf8ToGbk("家人"), "\xBC\xD2\xC8\xCB");
    EXPECT_EQ(GbkToUtf8("\xBC\xD2\xC8\xCB"), "家人");
    EXPECT_EQ(GbkToUtf8(Utf8ToGbk("Tel 张三 €5")), "Tel 张三 €5");
    EXPECT_EQ(Utf8ToGbk(""), "");
}

TEST(GbkTest, BadInputIsReplacedNotDropped) {
    // A character GBK lacks, and bytes that are not UTF-8.
    EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                        "b"),
              "a?b");
    EXPECT_EQ(Utf8ToGbk("a\xFF"
                        "b\xE5"),
              "a?b?");
    // A lead byte before a byte that cannot end a pair keeps that byte; a cut pair at the end.
    EXPECT_EQ(GbkToUtf8("\x81 A"), "\xEF\xBF\xBD A");
    EXPECT_EQ(GbkToUtf8("\xBC\xD2\xC8"), "家\xEF\xBF\xBD");
    // Reading stops at the first NUL.
    EXPECT_EQ(GbkToUtf8(std::string("ab\0cd", 5)), "ab");
}

TEST(GbkTest, FitLengthNeverSplitsAPair) {
    const std::string gbk = "a\xBC\xD2\xC8\xCB";  // a家人: 1 + 2 + 2 bytes
    EXPECT_EQ(GbkFitLength(gbk, 0), 0u);
    EXPECT_EQ(GbkFitLength(gbk, 1), 1u);
    EXPECT_EQ(GbkFitLength(gbk, 2), 1u);
    EXPECT_EQ(GbkFitLength(gbk, 3), 3u);
    EXPECT_EQ(GbkFitLength(gbk, 4), 3u);
    EXPECT_EQ(GbkFitLength(gbk, 99), 5u);
    // A lead byte with nothing after it is not a whole character.
    EXPECT_EQ(GbkFitLength("a\xBC", 5), 1u);
}

TEST(GbkTest, FieldsAreZeroPaddedAndCutAtACharacterBoundary) {
    char field[20];
    std::memset(field, 'x', sizeof field);
    // Ten Chinese characters are 20 bytes; only nine fit before the zero.
    PutGbkField(field, sizeof field, "一二三四五六七八九十");
    EXPECT_EQ(std::strlen(field), 18u);
    EXPECT_EQ(field[18], '\0');
    EXPECT_EQ(field[19], '\0');
    EXPECT_EQ(GetGbkField(field, sizeof field), "一二三四五六七八九");

    // "a" + nine characters = 19 bytes fits exactly.
    PutGbkField(field, sizeof field, "a一二三四五六七八九");
    EXPECT_EQ(std::strlen(field), 19u);

    char email[32];
    PutGbkField(email, sizeof email, std::string(40, 'm'), 30);
    EXPECT_EQ(std::strlen(email), 30u);
    EXPECT_EQ(email[30], '\0');
    EXPECT_EQ(email[31], '\0');

    // A field filled to the last byte without a terminating zero still reads.
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(GetGbkField(full, sizeof full), "abcd");
}

}  // namespace
}  // namespace kestrona
