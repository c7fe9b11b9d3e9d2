#include <gtest/gtest.h>

#include "app/call_logic.h"

using namespace kestrona;

TEST(CallLogic, KeyTableByState) {
    EXPECT_EQ(KeysForState(0), (KeyEnables{true, false, true, false}));
    EXPECT_EQ(KeysForState(1), (KeyEnables{false, true, false, false}));
    EXPECT_EQ(KeysForState(2), (KeyEnables{false, true, false, true}));
    EXPECT_EQ(KeysForState(7), (KeyEnables{false, true, false, true}));
    EXPECT_EQ(KeysForState(3), (KeyEnables{true, true, false, false}));
    // Busy, offline, broken and incompatible leave the keys as they were.
    for (int s : {4, 5, 6, 8, 9, -1}) {
        EXPECT_FALSE(KeysForState(s).has_value()) << s;
    }
}

TEST(CallLogic, RingsAndPeriods) {
    ASSERT_TRUE(RingForState(1));
    EXPECT_STREQ(RingForState(1)->file, "ring/out.wav");
    EXPECT_EQ(RingForState(1)->periodMs, 4000);
    EXPECT_STREQ(RingForState(3)->file, "ring/in.wav");
    EXPECT_EQ(RingForState(3)->periodMs, 2000);
    EXPECT_STREQ(RingForState(4)->file, "ring/busy.wav");
    EXPECT_EQ(RingForState(4)->periodMs, 1000);
    for (int s : {0, 2, 5, 6, 7, 8}) {
        EXPECT_FALSE(RingForState(s).has_value()) << s;
    }
}

TEST(CallLogic, SampleRateByConnectionType) {
    EXPECT_EQ(SampleRateForType(0), 8000);
    EXPECT_EQ(SampleRateForType(1), 12000);
    EXPECT_EQ(SampleRateForType(2), 16000);
    EXPECT_EQ(SampleRateForType(3), 22050);
    EXPECT_EQ(SampleRateForType(4), 24000);
    EXPECT_EQ(SampleRateForType(5), 0);
    EXPECT_EQ(SampleRateForType(-1), 0);
}

TEST(CallLogic, DigitsStopAtNine) {
    std::string digits;
    for (int c = 1007; c <= 1015; ++c) {
        EXPECT_TRUE(AppendDigit(digits, c));
    }
    EXPECT_EQ(digits, "123456789");
    EXPECT_FALSE(AppendDigit(digits, 1016));  // the tenth is ignored
    EXPECT_EQ(digits, "123456789");
    EXPECT_EQ(DigitsToNumber(digits), 123456789);
}

TEST(CallLogic, ZeroFromKeyAndKeyboard) {
    std::string digits;
    AppendDigit(digits, 1016);                     // the 0 key
    AppendDigit(digits, KeyboardDigitCommand(0));  // the keyboard's 0
    AppendDigit(digits, KeyboardDigitCommand(7));
    EXPECT_EQ(digits, "007");
    EXPECT_EQ(DigitsToNumber(digits), 7);
    EXPECT_EQ(DigitsToNumber(""), -1);
    EXPECT_EQ(DigitsToNumber("999999999"), 999999999);
}

TEST(CallLogic, StateTexts) {
    EXPECT_EQ(StateStringId(0), 125);
    EXPECT_EQ(StateStringId(8), 133);
}
