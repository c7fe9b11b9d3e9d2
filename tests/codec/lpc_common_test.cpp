#include "codec/lpc_common.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "codec/elementary.h"
#include "codec/gain_common.h"
#include "codec/postfilter.h"
#include "codec/quad.h"
#include "codec/tables.h"

namespace kestrona::codec {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::string Stabilise(double lsf[10], LspWarnings& warnings) {
    testing::internal::CaptureStdout();
    StabiliseLsf(lsf, warnings);
    return testing::internal::GetCapturedStdout();
}

std::string Stabilise(double lsf[10]) {
    LspWarnings warnings;
    return Stabilise(lsf, warnings);
}

TEST(LsfStability, FloorSpacingAndCeiling) {
    {  // Already sound: untouched, silent.
        double lsf[10];
        for (int i = 0; i < 10; ++i) {
            lsf[i] = kLsfReset[i];
        }
        EXPECT_EQ(Stabilise(lsf), "");
        for (int i = 0; i < 10; ++i) {
            EXPECT_DOUBLE_EQ(lsf[i], kLsfReset[i]);
        }
    }
    {  // Out of order, first below the floor, two crowded values.
        double lsf[10] = {0.3, 0.001, 0.6, 0.61, 1.0, 1.3, 1.6, 1.9, 2.2, 2.5};
        EXPECT_EQ(Stabilise(lsf), "warning LSP Low \n");
        EXPECT_DOUBLE_EQ(lsf[0], 0.005);
        EXPECT_DOUBLE_EQ(lsf[1], 0.3);
        EXPECT_DOUBLE_EQ(lsf[2], 0.6);
        EXPECT_DOUBLE_EQ(lsf[3], 0.6 + 0.0392);
        EXPECT_DOUBLE_EQ(lsf[9], 2.5);
    }
    {  // Crowded at the top: spacing pushes the last past the ceiling.
        double lsf[10] = {0.3, 0.6, 0.9, 1.2, 1.5, 1.8, 2.1, 3.1, 3.11, 3.12};
        EXPECT_EQ(Stabilise(lsf), "warning LSP High \n");
        EXPECT_DOUBLE_EQ(lsf[8], 3.1 + 0.0392);
        EXPECT_DOUBLE_EQ(lsf[9], 3.135);
    }
    {  // Both ends at once: low first, then high; each counted.
        double lsf[10] = {-0.1, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.05, 3.1, 3.2};
        LspWarnings warnings;
        warnings.low = 4;
        EXPECT_EQ(Stabilise(lsf, warnings), "warning LSP Low \nwarning LSP High \n");
        EXPECT_EQ(warnings.low, 5u);
        EXPECT_EQ(warnings.high, 1u);
        // Told not to print, the check moves the same values and only counts.
        double quiet[10] = {-0.1, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.05, 3.1, 3.2};
        warnings.print = false;
        EXPECT_EQ(Stabilise(quiet, warnings), "");
        EXPECT_EQ(warnings.low, 6u);
        EXPECT_EQ(warnings.high, 2u);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(quiet[i], lsf[i]);
        }
        EXPECT_DOUBLE_EQ(lsf[0], 0.005);
        EXPECT_DOUBLE_EQ(lsf[9], 3.135);
        for (int j = 1; j < 9; ++j) {
            EXPECT_GE(lsf[j] - lsf[j - 1], 0.0392 - 1e-12) << j;
        }
    }
}

TEST(LsfReconstruction, RebuildsFromIndicesAndShiftsMemory) {
    double mem[4][10];
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < 10; ++i) {
            mem[k][i] = kLsfReset[i];
        }
    }
    double lsf[10];
    LspWarnings warnings;
    ReconstructLsf(1, 5, 7, 9, mem, lsf, warnings);
    double b[10];
    for (int i = 0; i < 10; ++i) {
        b[i] = kLspCb1[5][i] + kLspCb2[i < 5 ? 7 : 9][i];
    }
    RearrangeLsf(b, 1, 9, 0.0012);
    RearrangeLsf(b, 1, 9, 0.0006);
    for (int i = 0; i < 10; ++i) {
        EXPECT_DOUBLE_EQ(mem[0][i], b[i]);
        EXPECT_DOUBLE_EQ(mem[1][i], kLsfReset[i]);
        // The predictor applied to a constant memory: sum*b + (1-sum)*reset.
        EXPECT_NEAR(lsf[i],
                    kMaPredictorSum[1][i] * b[i] + (1.0 - kMaPredictorSum[1][i]) * kLsfReset[i],
                    1e-6);
    }
    // The prediction target inverts the reconstruction for the pre-shift memory.
    double before[4][10];
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < 10; ++i) {
            before[k][i] = kLsfReset[i];
        }
    }
    double target[10];
    LsfPredictionTarget(1, before, lsf, target);
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(target[i], b[i], 1e-6);
    }
}

TEST(LpFilters, EvenlySpacedLspsGiveAFlatFilter) {
    double lsp[10];
    for (int i = 0; i < 10; ++i) {
        lsp[i] = std::cos((i + 1) * kPi / 11.0);
    }
    double a[11];
    LspToLp(lsp, a);
    EXPECT_DOUBLE_EQ(a[0], 1.0);
    for (int i = 1; i < 11; ++i) {
        EXPECT_NEAR(a[i], 0.0, 1e-12) << i;
    }
    double both[22];
    double prev[10];
    for (int i = 0; i < 10; ++i) {
        prev[i] = std::cos((i + 1) * 0.25);
    }
    InterpolateLsp(prev, lsp, both);
    for (int i = 1; i < 11; ++i) {
        EXPECT_NEAR(both[11 + i], 0.0, 1e-12);
    }
    // The mean of two LSP sets differs from either one.
    double sum = 0;
    for (int i = 1; i < 11; ++i) {
        sum += std::fabs(both[i]);
    }
    EXPECT_GT(sum, 1e-3);
}

TEST(LpFilters, ResidualThenSynthesisRestoresTheSignalAcrossBlocks) {
    const double a[11] = {1.0, -1.2, 0.5, 0.1, -0.05, 0.02, 0.01, 0.0, -0.01, 0.005, 0.002};
    double signal[10 + 80];
    for (int n = 0; n < 90; ++n) {
        signal[n] = 1000.0 * std::sin(0.3 * n) + 300.0 * std::cos(1.7 * n);
    }
    double res[80];
    LpResidual(a, signal + 10, res, 80);
    double mem[10];
    for (int i = 0; i < 10; ++i) {
        mem[i] = signal[i];
    }
    double out[80];
    LpSynthesis(a, res, out, 40, mem, true);
    LpSynthesis(a, res + 40, out + 40, 3, mem, true);  // short block keeps older memory
    LpSynthesis(a, res + 43, out + 43, 37, mem, true);
    for (int n = 0; n < 80; ++n) {
        EXPECT_NEAR(out[n], signal[10 + n], 1e-6) << n;
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(mem[i], signal[80 + i], 1e-6);
    }
    // In place, without memory update.
    double before[10];
    for (int i = 0; i < 10; ++i) {
        before[i] = mem[i];
    }
    LpSynthesis(a, res, res, 40, mem, false);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(mem[i], before[i]);
    }

    double w[11];
    WeightCoefficients(a, 0.75, w);
    EXPECT_EQ(w[0], 1.0);
    EXPECT_DOUBLE_EQ(w[2], 0.5 * 0.5625);
    EXPECT_DOUBLE_EQ(w[10], 0.002 * std::pow(0.75, 10));
}

// The pre- and post-processing filters make several outputs per step; they
// must still be the plain recursion, over blocks of any length.
TEST(LpFilters, SecondOrderFilterIsThePlainRecursion) {
    for (const auto& [b, a] : {std::pair{kPreHpB, kPreHpA}, std::pair{kPostHpB, kPostHpA}}) {
        double mem[4] = {};
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
        double x[83];
        int at = 0;
        for (int len : {80, 3, 1, 83, 6}) {
            for (int n = 0; n < len; ++n) {
                x[n] = 20000.0 * std::sin(0.37 * (at + n)) + (n % 7 == 0 ? 9000.0 : 0.0);
            }
            double want[83];
            for (int n = 0; n < len; ++n) {
                want[n] = b[0] * x[n] + b[1] * x1 + b[2] * x2 + a[1] * y1 + a[2] * y2;
                x2 = x1;
                x1 = x[n];
                y2 = y1;
                y1 = want[n];
            }
            SecondOrderFilter(b, a, mem, x, len);
            for (int n = 0; n < len; ++n) {
                ASSERT_NEAR(x[n], want[n], 1e-9 * 20000.0) << "sample " << at + n;
            }
            at += len;
        }
        EXPECT_NEAR(mem[2], y1, 1e-9 * 20000.0);
    }
}

TEST(AdaptiveCodebook, ConstantExcitationStaysConstantAtEveryFraction) {
    for (int frac = -1; frac <= 1; ++frac) {
        double exc[154 + 40];
        for (double& v : exc) {
            v = 1.0;
        }
        AdaptiveCodebookVector(exc + 154, 143, frac);
        for (int n = 0; n < 40; ++n) {
            EXPECT_NEAR(exc[154 + n], 1.0, 0.01) << frac << "," << n;
        }
    }
}

TEST(AdaptiveCodebook, ShortDelayReadsTwentyNineBackAndReusesNewSamples) {
    double exc[154 + 40] = {};
    double* u = exc + 154;
    u[-29] = 1.0;  // deepest sample that delay 20, fraction -1 reaches
    u[-30] = 1e6;  // beyond it: must not leak in
    AdaptiveCodebookVector(u, 20, -1);
    // v[0] sees u[-29] through tap b30[1 + 27].
    EXPECT_NEAR(u[0], kB30[28], 1e-9);
    // Only v[0] is reached from the past; from v[10] on the pass reads its own output.
    for (int n = 1; n < 10; ++n) {
        EXPECT_EQ(u[n], 0.0) << n;
    }
    EXPECT_NEAR(u[10], kB30[28] * kB30[29], 1e-15);
}

// With AVX2 the adaptive codebook, the residual filter and the post-filter's
// correlations work four wide: they must give the bits of the two-wide loops,
// at every delay, fraction and block length, or decoders on two machines
// would drift apart.
TEST(AdaptiveCodebook, FourWideAndTwoWideLoopsGiveTheSameBits) {
#if defined(KESTRONA_CODEC_QUADS)
    if (!g_use_quads) {
        GTEST_SKIP() << "this processor has no AVX2";
    }
    uint32_t seed = 12345;
    auto noise = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<double>(static_cast<int32_t>(seed)) / 65536.0;
    };
    double past[154 + 80];
    for (double& v : past) {
        v = noise();
    }
    for (int t = 20; t <= 143; ++t) {
        for (int frac = -1; frac <= 1; ++frac) {
            for (int len : {40, 39, 80}) {
                double wide[154 + 80];
                double narrow[154 + 80];
                std::copy(std::begin(past), std::end(past), wide);
                std::copy(std::begin(past), std::end(past), narrow);
                AdaptiveCodebookVector(wide + 154, t, frac, len);
                g_use_quads = false;
                AdaptiveCodebookVector(narrow + 154, t, frac, len);
                g_use_quads = true;
                ASSERT_EQ(0, std::memcmp(wide, narrow, sizeof wide)) << t << " " << frac;
            }
        }
    }
    for (int len : {40, 43, 80}) {
        double a[kLpCoeffs] = {1.0};
        for (int i = 1; i < kLpCoeffs; ++i) {
            a[i] = noise() / 40000.0;
        }
        double wide[80];
        double narrow[80];
        LpResidual(a, past + 10, wide, len);
        g_use_quads = false;
        LpResidual(a, past + 10, narrow, len);
        g_use_quads = true;
        ASSERT_EQ(0, std::memcmp(wide, narrow, len * sizeof(double))) << len;
    }
    // The post-filter's delay search, over its whole range; with a residual
    // that repeats at some delay, so that the filter is on as well as off.
    for (int period : {0, 37, 90}) {
        double res[143 + 40];
        for (int n = 0; n < 143 + 40; ++n) {
            res[n] = period != 0 && n >= period ? res[n - period] : noise();
        }
        for (int tmax = 26; tmax <= 143; ++tmax) {
            double wide[40];
            double narrow[40];
            const int t_wide = LongTermPostFilter(res + 143, tmax - 6, tmax, wide);
            g_use_quads = false;
            const int t_narrow = LongTermPostFilter(res + 143, tmax - 6, tmax, narrow);
            g_use_quads = true;
            ASSERT_EQ(t_wide, t_narrow) << tmax;
            ASSERT_EQ(0, std::memcmp(wide, narrow, sizeof wide)) << tmax;
        }
    }
#else
    GTEST_SKIP() << "no four-wide loops on this processor family";
#endif
}

TEST(GainPrediction, PredictsFromEnergyMemoryAndUpdates) {
    double past[4] = {-14.0, -14.0, -14.0, -14.0};
    double code[40] = {};
    code[0] = code[11] = 1.0;
    code[22] = code[33] = -1.0;
    const double e = 10.0 * std::log10(4.01 / 40.0);
    const double expected = std::pow(10.0, (36.0 - e - 14.0 * (0.68 + 0.58 + 0.34 + 0.19)) / 20.0);
    EXPECT_NEAR(PredictCodeGain(past, code), expected, 1e-9);
    EXPECT_NEAR(expected, 11.13, 0.01);

    // The memory takes the energy of the chosen rows, to the last bit what
    // the maths library makes of their correction factor.
    UpdateGainMemory(past, 2, 5);
    EXPECT_EQ(past[0], 20.0 * std::log10(kGainCbA[2][1] + kGainCbB[5][1]));
    EXPECT_DOUBLE_EQ(past[1], -14.0);
    UpdateGainMemory(past, 7, 0);
    EXPECT_EQ(past[1], 20.0 * std::log10(kGainCbA[2][1] + kGainCbB[5][1]));
    EXPECT_DOUBLE_EQ(past[3], -14.0);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 16; ++j) {
            UpdateGainMemory(past, i, j);
            ASSERT_EQ(past[0], 20.0 * std::log10(kGainCbA[i][1] + kGainCbB[j][1])) << i << " " << j;
        }
    }
}

// The codec's own cosine, arc cosine and exponential against the maths
// library, over the ranges the codec feeds them and their edges.
TEST(ElementaryFunctions, AgreeWithTheMathsLibraryToAnUlpOrTwo) {
    auto close = [](double ours, double libm, double floor) {
        return std::abs(ours - libm) <= std::max(2.3e-16 * std::abs(libm), floor);
    };
    for (int n = 0; n <= 200000; ++n) {
        const double x = -7.0 + 14.0 * n / 200000.0;
        ASSERT_TRUE(close(Cosine(x), std::cos(x), 1e-17)) << x;
        const double c = -1.0 + 2.0 * n / 200000.0;
        ASSERT_TRUE(close(ArcCosine(c), std::acos(c), 0.0)) << c;
        const double e = -50.0 + 100.0 * n / 200000.0;
        ASSERT_TRUE(close(Exponential(e), std::exp(e), 0.0)) << e;
    }
    for (double x : {0.0, 0.005, 1.5707963267948966, 3.135, 3.141592653589793, 1000.25}) {
        EXPECT_TRUE(close(Cosine(x), std::cos(x), 1e-17)) << x;
    }
    for (double c : {-1.0, -0.5, 0.5, 1.0, 0.9999999999, -0.9999999999, 1e-300}) {
        EXPECT_TRUE(close(ArcCosine(c), std::acos(c), 0.0)) << c;
    }
    EXPECT_TRUE(std::isnan(ArcCosine(1.0000001)));
    EXPECT_TRUE(std::isnan(ArcCosine(-2.0)));
    EXPECT_TRUE(std::isnan(Cosine(std::nan(""))));
    EXPECT_TRUE(std::isnan(Cosine(1e300)));
    EXPECT_TRUE(close(Exponential(709.0), std::exp(709.0), 0.0));
    EXPECT_TRUE(close(Exponential(-740.0), std::exp(-740.0), 1e-320));
    EXPECT_EQ(Exponential(0.0), 1.0);
    EXPECT_EQ(Exponential(800.0), HUGE_VAL);
    EXPECT_EQ(Exponential(-800.0), 0.0);
    EXPECT_TRUE(std::isnan(Exponential(std::nan(""))));
}

}  // namespace
}  // namespace kestrona::codec
