#include <gtest/gtest.h>

#include <cmath>

#include "codec/encoder.h"
#include "codec/encoder_internal.h"
#include "codec/lpc_common.h"
#include "codec/tables.h"

namespace kestrona::codec {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(EncoderLpAnalysis, SilenceGivesAFlatFilterWithResetLsfs) {
    const double speech[240] = {};
    double r[11];
    enc::Autocorrelation(speech, r);
    EXPECT_EQ(r[0], 1.0);
    for (int k = 1; k <= 10; ++k) {
        EXPECT_EQ(r[k], 0.0);
    }
    double a[11];
    enc::LagWindowLevinson(r, a);
    EXPECT_EQ(a[0], 1.0);
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(a[i], 0.0) << i;
    }
    double lsp[10];
    ASSERT_TRUE(enc::LpToLsp(a, lsp));
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(std::acos(lsp[i]), kLsfReset[i], 2e-3) << i;
    }
}

TEST(EncoderLpAnalysis, LevinsonSolvesAFirstOrderProcess) {
    // r[k] = 0.9^k once lag-windowed: the predictor is 1 - 0.9 z^-1.
    double r[11];
    for (int k = 0; k <= 10; ++k) {
        r[k] = std::pow(0.9, k) / kLagWindow[k];
    }
    double a[11];
    enc::LagWindowLevinson(r, a);
    EXPECT_NEAR(a[1], -0.9, 1e-9);
    for (int i = 2; i <= 10; ++i) {
        EXPECT_NEAR(a[i], 0.0, 1e-9) << i;
    }
}

TEST(EncoderLpAnalysis, RootSearchInvertsLspToLpAndReportsMissingRoots) {
    const double lsf[10] = {0.2, 0.45, 0.8, 1.1, 1.3, 1.75, 2.0, 2.3, 2.6, 2.9};
    double lsp[10];
    LsfToLsp(lsf, lsp);
    double a[11];
    LspToLp(lsp, a);
    double found[10];
    ASSERT_TRUE(enc::LpToLsp(a, found));
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(found[i], lsp[i], 2e-4) << i;
    }
    // Zeros of A(z) outside the unit circle break the interlacing: fewer roots.
    const double unstable[11] = {1.0, -3.0, 3.5, -2.0, 0.4, 0.0, 0.0, 0.0, 0.0, 0.0, 0.9};
    EXPECT_FALSE(enc::LpToLsp(unstable, found));
}

TEST(EncoderLpAnalysis, PreProcessingRemovesDcAndCarriesItsMemory) {
    double x[800];
    for (double& v : x) {
        v = 1000.0;
    }
    double mem[4] = {};
    for (int f = 0; f < 10; ++f) {
        enc::PreProcess(mem, x + 80 * f, 80);
    }
    EXPECT_NEAR(x[0], 0.92727435 * 1000.0, 1e-9);
    // The rounded coefficients leak about 1% of DC.
    EXPECT_LT(std::fabs(x[799]), 0.015 * 1000.0);

    // Splitting a block changes nothing.
    double a[160];
    double b[160];
    for (int n = 0; n < 160; ++n) {
        a[n] = b[n] = 3000.0 * std::sin(0.05 * n * n);
    }
    double m1[4] = {};
    double m2[4] = {};
    enc::PreProcess(m1, a, 160);
    enc::PreProcess(m2, b, 80);
    enc::PreProcess(m2, b + 80, 80);
    for (int n = 0; n < 160; ++n) {
        EXPECT_DOUBLE_EQ(a[n], b[n]);
    }
}

}  // namespace
}  // namespace kestrona::codec
