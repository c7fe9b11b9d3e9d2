#include "codec/tables.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kestrona::codec {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(CodecTables, CheckValuesMatchThePublishedOnes) {
    EXPECT_DOUBLE_EQ(kLpWindow[0], 0.08);
    EXPECT_DOUBLE_EQ(kLpWindow[1], 0.08005703);
    EXPECT_DOUBLE_EQ(kLpWindow[200], 1.0);
    EXPECT_DOUBLE_EQ(kLpWindow[239], 0.02963307);

    EXPECT_DOUBLE_EQ(kLagWindow[0], 1.0001);
    EXPECT_DOUBLE_EQ(kLagWindow[1], 0.99889028);
    EXPECT_DOUBLE_EQ(kLagWindow[10], 0.89490914);

    EXPECT_DOUBLE_EQ(kLspGrid[0], 0.9997559);
    EXPECT_DOUBLE_EQ(kLspGrid[50], -0.9997559);

    const double l1Row0[10] = {0.1814, 0.2647, 0.4580, 1.1077, 1.4813,
                               1.7022, 2.1953, 2.3405, 2.5867, 2.6636};
    const double l2Row0[10] = {-0.0532, -0.0995, -0.0906, 0.1261, -0.0633,
                               0.0711,  -0.1467, 0.1012,  0.0106, 0.0470};
    const double ma0Order1[10] = {0.2570, 0.2780, 0.2800, 0.2736, 0.2757,
                                  0.2764, 0.2675, 0.2678, 0.2779, 0.2647};
    for (int i = 0; i < 10; ++i) {
        EXPECT_DOUBLE_EQ(kLspCb1[0][i], l1Row0[i]) << i;
        EXPECT_DOUBLE_EQ(kLspCb2[0][i], l2Row0[i]) << i;
        EXPECT_DOUBLE_EQ(kMaPredictor[0][0][i], ma0Order1[i]) << i;
    }
    EXPECT_NEAR(kMaPredictorSum[0][0], 0.23800001, 1e-8);
    EXPECT_NEAR(kMaPredictorSumInv[0][0], 4.20168066, 1e-8);

    EXPECT_DOUBLE_EQ(kLsfReset[0], 0.285599);
    EXPECT_DOUBLE_EQ(kLsfReset[1], 0.571199);
    EXPECT_DOUBLE_EQ(kLsfReset[9], 2.855993);
    const double lspInit[10] = {0.9595,  0.8413,  0.6549,  0.4154,  0.1423,
                                -0.1423, -0.4154, -0.6549, -0.8413, -0.9595};
    for (int i = 0; i < 10; ++i) {
        EXPECT_DOUBLE_EQ(kLspInit[i], lspInit[i]);
    }

    EXPECT_DOUBLE_EQ(kB30[0], 0.898517);
    EXPECT_DOUBLE_EQ(kB30[1], 0.769271);
    EXPECT_DOUBLE_EQ(kB30[2], 0.448635);
    EXPECT_DOUBLE_EQ(kB30[3], 0.095915);
    EXPECT_DOUBLE_EQ(kB30[29], 0.002145);
    EXPECT_DOUBLE_EQ(kB30[30], 0.0);

    EXPECT_DOUBLE_EQ(kGainCbA[0][0], 0.000010);
    EXPECT_DOUBLE_EQ(kGainCbA[0][1], 0.185084);
    EXPECT_DOUBLE_EQ(kGainCbB[0][0], 0.050466);
    EXPECT_DOUBLE_EQ(kGainCbB[0][1], 0.244769);

    const int mapA[8] = {5, 1, 4, 7, 3, 0, 6, 2};
    const int mapB[16] = {4, 6, 0, 2, 12, 14, 8, 10, 15, 11, 9, 13, 7, 3, 1, 5};
    const int invA[8] = {5, 1, 7, 4, 2, 0, 6, 3};
    const int invB[16] = {2, 14, 3, 13, 0, 15, 1, 12, 6, 10, 7, 9, 4, 11, 5, 8};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(kGainMapA[i], mapA[i]);
        EXPECT_EQ(kGainInvMapA[i], invA[i]);
    }
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(kGainMapB[i], mapB[i]);
        EXPECT_EQ(kGainInvMapB[i], invB[i]);
    }

    EXPECT_DOUBLE_EQ(kGainPreselCoef[0][0], 31.134575);
    EXPECT_DOUBLE_EQ(kGainPreselCoef[0][1], 1.612322);
    EXPECT_DOUBLE_EQ(kGainPreselCoef[1][0], 0.481389);
    EXPECT_DOUBLE_EQ(kGainPreselCoef[1][1], 0.053056);
    EXPECT_DOUBLE_EQ(kGainThresholdA[0], 0.659681);
    EXPECT_DOUBLE_EQ(kGainThresholdB[0], 0.429912);

    const double energyPredictor[4] = {0.68, 0.58, 0.34, 0.19};
    for (int i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(kGainPredictor[i], energyPredictor[i]);
        EXPECT_DOUBLE_EQ(kPastEnergyInit[i], -14.0);
    }
}

// A table laid out with the wrong shape or transposed still passes spot checks of
// row 0; these relations tie every entry to its neighbours.
TEST(CodecTables, LayoutIsConsistentThroughout) {
    for (int n = 0; n < 200; ++n) {
        EXPECT_NEAR(kLpWindow[n], 0.54 - 0.46 * std::cos(2.0 * kPi * n / 399.0), 1e-6) << n;
    }
    for (int n = 200; n < 240; ++n) {
        EXPECT_NEAR(kLpWindow[n], std::cos(2.0 * kPi * (n - 200) / 159.0), 1e-6) << n;
    }
    for (int i = 1; i <= 10; ++i) {
        const double x = 2.0 * kPi * 60.0 * i / 8000.0;
        EXPECT_NEAR(kLagWindow[i], std::exp(-0.5 * x * x), 1e-7) << i;
    }
    for (int i = 1; i < 50; ++i) {
        EXPECT_NEAR(kLspGrid[i], std::cos(kPi * i / 50.0), 1e-7) << i;
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(kLsfReset[i], (i + 1) * kPi / 11.0, 1e-6) << i;
        for (int m = 0; m < 2; ++m) {
            double sum = 1.0;
            for (int k = 0; k < 4; ++k) {
                sum -= kMaPredictor[m][k][i];
            }
            EXPECT_NEAR(kMaPredictorSum[m][i], sum, 1e-6) << m << "," << i;
            EXPECT_NEAR(kMaPredictorSum[m][i] * kMaPredictorSumInv[m][i], 1.0, 1e-6);
        }
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(kGainInvMapA[kGainMapA[i]], i);
    }
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(kGainInvMapB[kGainMapB[i]], i);
    }
    // First-stage codebook rows are ordered frequencies.
    for (int r = 0; r < 128; ++r) {
        for (int i = 1; i < 10; ++i) {
            EXPECT_LT(kLspCb1[r][i - 1], kLspCb1[r][i]) << r;
        }
    }
}

}  // namespace
}  // namespace kestrona::codec
