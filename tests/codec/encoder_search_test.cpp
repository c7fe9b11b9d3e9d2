#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "codec/encoder_internal.h"
#include "codec/gain_common.h"
#include "codec/lpc_common.h"
#include "codec/tables.h"

namespace kestrona::codec {
namespace {

TEST(EncoderPitch, DelayIndexCoding) {
    EXPECT_EQ(enc::CodePitchDelay1(20, -1), 1);
    EXPECT_EQ(enc::CodePitchDelay1(20, 0), 2);
    EXPECT_EQ(enc::CodePitchDelay1(84, 1), 195);
    EXPECT_EQ(enc::CodePitchDelay1(85, 0), 197);
    EXPECT_EQ(enc::CodePitchDelay1(86, 0), 198);
    EXPECT_EQ(enc::CodePitchDelay1(143, 0), 255);

    const enc::PitchRange r = enc::SecondSubframeRange(60);
    EXPECT_EQ(r.tmin, 55);
    EXPECT_EQ(r.tmax, 64);
    EXPECT_EQ(enc::CodePitchDelay2(55, -1, r.tmin), 1);
    EXPECT_EQ(enc::CodePitchDelay2(60, 0, r.tmin), 17);
    EXPECT_EQ(enc::CodePitchDelay2(64, 1, r.tmin), 30);
}

TEST(EncoderPitch, SearchRangesAreClampedToTheDelayLimits) {
    auto first = [](int t) {
        const enc::PitchRange r = enc::FirstSubframeRange(t);
        return std::make_pair(r.tmin, r.tmax);
    };
    auto second = [](int t) {
        const enc::PitchRange r = enc::SecondSubframeRange(t);
        return std::make_pair(r.tmin, r.tmax);
    };
    EXPECT_EQ(first(142), std::make_pair(137, 143));
    EXPECT_EQ(first(20), std::make_pair(20, 26));
    EXPECT_EQ(first(60), std::make_pair(57, 63));
    EXPECT_EQ(second(22), std::make_pair(20, 29));
    EXPECT_EQ(second(140), std::make_pair(134, 143));
    EXPECT_EQ(second(143), std::make_pair(134, 143));
}

// Weighted speech with a three-sample pulse centred on every multiple of
// `period` counted from the start of the current frame.
void PulseTrain(double* buf, int period) {
    for (int n = 0; n < 143 + 80; ++n) {
        const int m = ((n - 143) % period + period) % period;
        buf[n] = m == 0 ? 1000.0 : (m == 1 || m == period - 1 ? 500.0 : 0.0);
    }
}

TEST(EncoderPitch, OpenLoopPrefersSubmultiplesAndRefinesOddLongDelays) {
    double wsp[143 + 80];
    // Period 40 correlates as well at 80; the quarter bonus keeps 40.
    PulseTrain(wsp, 40);
    EXPECT_EQ(enc::OpenLoopPitch(wsp + 143), 40);
    PulseTrain(wsp, 50);
    EXPECT_EQ(enc::OpenLoopPitch(wsp + 143), 50);
    PulseTrain(wsp, 30);
    EXPECT_EQ(enc::OpenLoopPitch(wsp + 143), 30);
    // Section 3 only tries even delays; 101 is reached through the refinement.
    PulseTrain(wsp, 101);
    EXPECT_EQ(enc::OpenLoopPitch(wsp + 143), 101);
    PulseTrain(wsp, 120);
    EXPECT_EQ(enc::OpenLoopPitch(wsp + 143), 120);
}

// A past excitation with no periodicity, and a target that its adaptive-codebook
// vector at (t, frac) matches exactly.
struct ClosedLoopCase {
    double exc[154 + 40];
    double d[40];
};

void MakeCase(ClosedLoopCase& c, int t, int frac) {
    unsigned seed = 12345;
    for (double& v : c.exc) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<double>((seed >> 16) & 0x7fff) - 16384.0;
    }
    double copy[154 + 40];
    std::memcpy(copy, c.exc, sizeof copy);
    AdaptiveCodebookVector(copy + 154, t, frac);
    for (int n = 0; n < 40; ++n) {
        c.d[n] = copy[154 + n];
    }
}

TEST(EncoderPitch, ClosedLoopFindsDelayAndFraction) {
    for (int frac = -1; frac <= 1; ++frac) {
        ClosedLoopCase c;
        MakeCase(c, 60, frac);
        int f = 99;
        const int t = enc::ClosedLoopPitch(c.exc + 154, c.d, {57, 63}, true, &f);
        EXPECT_EQ(t, 60);
        EXPECT_EQ(f, frac);
        // The chosen vector is what the excitation buffer is left holding.
        for (int n = 0; n < 40; ++n) {
            EXPECT_DOUBLE_EQ(c.exc[154 + n], c.d[n]) << frac << "," << n;
        }
    }
    // Above 84 the first subframe keeps fraction 0; the second still searches.
    ClosedLoopCase c;
    MakeCase(c, 90, 1);
    int f = 99;
    EXPECT_EQ(enc::ClosedLoopPitch(c.exc + 154, c.d, {87, 93}, true, &f), 90);
    EXPECT_EQ(f, 0);
    MakeCase(c, 90, 1);
    EXPECT_EQ(enc::ClosedLoopPitch(c.exc + 154, c.d, {85, 94}, false, &f), 90);
    EXPECT_EQ(f, 1);
}

TEST(EncoderTaming, ZonesAndHistoryUpdate) {
    double err[4] = {1.0, 1.0, 1.0, 1.0};
    EXPECT_FALSE(enc::TamingNeeded(err, 20, 0));
    EXPECT_FALSE(enc::TamingNeeded(err, 143, 1));

    err[1] = 70000.0;
    EXPECT_FALSE(enc::TamingNeeded(err, 31, 0));   // zone 0 only
    EXPECT_FALSE(enc::TamingNeeded(err, 30, 1));   // t1 = 31: still zone 0
    EXPECT_TRUE(enc::TamingNeeded(err, 31, 1));    // t1 = 32: zones 0..1
    EXPECT_TRUE(enc::TamingNeeded(err, 32, -1));   // a negative fraction keeps t
    EXPECT_TRUE(enc::TamingNeeded(err, 129, 0));   // zones 1..3
    EXPECT_FALSE(enc::TamingNeeded(err, 130, 0));  // zones 2..3

    // Short delay: the estimate compounds over two periods.
    double e1[4] = {10.0, 1.0, 1.0, 1.0};
    enc::UpdateTaming(e1, 30, 0.5);
    EXPECT_DOUBLE_EQ(e1[0], 6.0);  // max(1 + 0.5*10, 1 + 0.5*6)
    EXPECT_DOUBLE_EQ(e1[1], 10.0);
    enc::UpdateTaming(e1, 30, 1.2);
    EXPECT_DOUBLE_EQ(e1[0], 1.0 + 1.2 * (1.0 + 1.2 * 6.0));
    // Longer delays take the worst estimate of the zones the delay spans.
    double e2[4] = {10.0, 100.0, 1000.0, 1.0};
    enc::UpdateTaming(e2, 85, 0.5);
    EXPECT_DOUBLE_EQ(e2[0], 501.0);
    EXPECT_DOUBLE_EQ(e2[3], 1000.0);
    double e3[4] = {10.0, 100.0, 1000.0, 1.0};
    enc::UpdateTaming(e3, 40, 0.5);  // zone 0 only
    EXPECT_DOUBLE_EQ(e3[0], 6.0);
}

}  // namespace
}  // namespace kestrona::codec
