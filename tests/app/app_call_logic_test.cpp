#include <gtest/gtest.h>

#include "app/call_logic.h"

using namespace kestrona;

TEST(CallLogic, DigitsStopAtNineAndZeroComesFromBothKeys) {
    std::string digits;
    for (int c = 1007; c <= 1015; ++c) {
        EXPECT_TRUE(AppendDigit(digits, c));
    }
    EXPECT_FALSE(AppendDigit(digits, 1016));  // the tenth is ignored
    EXPECT_EQ(DigitsToNumber(digits), 123456789);

    digits.clear();
    AppendDigit(digits, 1016);                     // the 0 key
    AppendDigit(digits, KeyboardDigitCommand(0));  // the keyboard's 0
    AppendDigit(digits, KeyboardDigitCommand(7));
    EXPECT_EQ(digits, "007");
    EXPECT_EQ(DigitsToNumber(digits), 7);
    EXPECT_EQ(DigitsToNumber(""), -1);
}
