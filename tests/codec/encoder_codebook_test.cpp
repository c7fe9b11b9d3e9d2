#include <gtest/gtest.h>

#include <cmath>

#include "codec/encoder_internal.h"
#include "codec/gain_common.h"
#include "codec/tables.h"

namespace kestrona::codec {
namespace {

// With a unit impulse response every candidate has the same energy, so the
// search picks the largest |x2| on each track and its sign.
enc::AcelpResult SearchWithUnitImpulse(const double x2[40], double code[40], double y2[40]) {
    double h[40] = {1.0};
    return enc::AcelpSearch(x2, h, code, y2);
}

TEST(EncoderCodebook, PositionAndSignIndexExamples) {
    double code[40];
    double y2[40];
    {
        double x2[40] = {};
        x2[0] = x2[1] = x2[2] = x2[3] = 100.0;
        const auto r = SearchWithUnitImpulse(x2, code, y2);
        EXPECT_EQ(r.positionIndex, 0);
        EXPECT_EQ(r.signIndex, 15);
    }
    {
        double x2[40] = {};
        x2[35] = x2[36] = x2[37] = x2[39] = 100.0;
        const auto r = SearchWithUnitImpulse(x2, code, y2);
        EXPECT_EQ(r.positions[3], 39);
        EXPECT_EQ(r.positionIndex, 7 + 56 + 448 + 512 * 15);
        EXPECT_EQ(r.positionIndex, 8191);
    }
    {
        double x2[40] = {};
        x2[10] = -80.0;  // track 0, position 2
        x2[21] = 90.0;   // track 1, position 4
        x2[17] = -70.0;  // track 2, position 3
        x2[24] = 60.0;   // track 4, position 4
        x2[5] = 1.0;     // small distractors
        x2[38] = -2.0;
        const auto r = SearchWithUnitImpulse(x2, code, y2);
        EXPECT_EQ(r.positions[0], 10);
        EXPECT_EQ(r.positions[1], 21);
        EXPECT_EQ(r.positions[2], 17);
        EXPECT_EQ(r.positions[3], 24);
        EXPECT_EQ(r.positionIndex, 2 + 8 * 4 + 64 * 3 + 512 * (2 * 4 + 4 - 3));
        EXPECT_EQ(r.signIndex, 2 + 8);  // pulses 1 and 3 positive
        for (int n = 0; n < 40; ++n) {
            const double expected = n == 10 || n == 17 ? -1.0 : (n == 21 || n == 24 ? 1.0 : 0.0);
            EXPECT_EQ(code[n], expected) << n;
            EXPECT_EQ(y2[n], expected) << n;
        }
    }
}

TEST(EncoderCodebook, SilenceTakesTheEarliestPositivePulses) {
    const double x2[40] = {};
    double h[40];
    for (int n = 0; n < 40; ++n) {
        h[n] = std::pow(0.8, n);
    }
    double code[40];
    double y2[40];
    const auto r = enc::AcelpSearch(x2, h, code, y2);
    EXPECT_EQ(r.positions[0], 0);
    EXPECT_EQ(r.positions[1], 1);
    EXPECT_EQ(r.positions[2], 2);
    EXPECT_EQ(r.positions[3], 3);
    EXPECT_EQ(r.positionIndex, 0);
    EXPECT_EQ(r.signIndex, 15);
    // The filtered code vector is the signed sum of shifted responses.
    for (int n = 0; n < 40; ++n) {
        double expected = 0.0;
        for (int p = 0; p <= 3 && p <= n; ++p) {
            expected += h[n - p];
        }
        EXPECT_NEAR(y2[n], expected, 1e-12) << n;
    }
}

TEST(EncoderGains, RecoversACodebookPairFromAnExactTarget) {
    const double past[4] = {-14.0, -14.0, -14.0, -14.0};
    double code[40] = {};
    code[3] = 1.0;
    code[16] = -1.0;
    code[22] = 1.0;
    code[34] = 1.0;
    const double gc0 = PredictCodeGain(past, code);
    double y1[40];
    double y2[40];
    for (int n = 0; n < 40; ++n) {
        y1[n] = 800.0 * std::sin(0.37 * n + 0.2);
        y2[n] = 50.0 * std::cos(1.3 * n) + 20.0 * code[n];
    }
    int recovered = 0;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 16; ++j) {
            const double gp = kGainCbA[i][0] + kGainCbB[j][0];
            const double gc = gc0 * (kGainCbA[i][1] + kGainCbB[j][1]);
            double x[40];
            for (int n = 0; n < 40; ++n) {
                x[n] = gp * y1[n] + gc * y2[n];
            }
            double g[5] = {0.01, 0.01, 0.01, 0.0, 0.0};
            double xy1 = 0;
            double xy2 = 0;
            double y1y2 = 0;
            for (int n = 0; n < 40; ++n) {
                g[0] += y1[n] * y1[n];
                g[2] += y2[n] * y2[n];
                xy1 += x[n] * y1[n];
                xy2 += x[n] * y2[n];
                y1y2 += y1[n] * y2[n];
            }
            g[1] -= 2.0 * xy1;
            g[3] = -2.0 * (0.01 + xy2);
            g[4] = 2.0 * (0.01 + y1y2);
            const auto q = enc::QuantiseGains(code, g, false, past);
            EXPECT_GE(q.index, 0);
            EXPECT_LT(q.index, 128);
            if (q.index == kGainMapA[i] * 16 + kGainMapB[j]) {
                ++recovered;
                EXPECT_DOUBLE_EQ(q.gainPitch, gp);
                EXPECT_NEAR(q.gainCode, gc, 1e-9 * gc);
                EXPECT_DOUBLE_EQ(q.gamma, kGainCbA[i][1] + kGainCbB[j][1]);
            }
            // Under taming no pair at or above 0.9999 may be chosen.
            const auto tamed = enc::QuantiseGains(code, g, true, past);
            EXPECT_LT(tamed.gainPitch, 0.9999);
        }
    }
    // The pre-selection keeps the optimum in reach for nearly every pair.
    EXPECT_GE(recovered, 120);
}

}  // namespace
}  // namespace kestrona::codec
