#include "codec/lpc_common.h"

#include <cmath>
#include <cstdio>

#include "codec/tables.h"

namespace kestrona::codec {

namespace {

// Two doubles in one register: the SSE2 that every x86-64 has.
typedef double Pair __attribute__((vector_size(16)));

inline Pair Both(double v) {
    return Pair{v, v};
}

}  // namespace

void LpSynthesis(const double a[kLpCoeffs], const double* x, double* y, int len,
                 double mem[kLpOrder], bool updateMem) {
    // Outputs are made two at a time. Putting the first of a pair into the
    // second's recursion,
    //   y[n+1] = x[n+1] - a1 x[n] - sum_{j=1..10} (a[j+1] - a1 a[j]) y[n-j],
    // makes both depend on the same ten earlier outputs only, so each pair
    // waits on its predecessor once instead of twice, and both sums share
    // one register.
    Pair c[kLpCoeffs];
    for (int j = 1; j < kLpOrder; ++j) {
        c[j] = Pair{a[j], a[j + 1] - a[1] * a[j]};
    }
    c[kLpOrder] = Pair{a[kLpOrder], -a[1] * a[kLpOrder]};

    // The recursion runs in a buffer that starts with the ten past outputs, so it
    // reads them without a branch; long inputs go through in chunks.
    constexpr int kChunk = 80;
    double buf[kLpOrder + kChunk];
    for (int i = 0; i < kLpOrder; ++i) {
        buf[i] = mem[i];
    }
    double* out = buf + kLpOrder;
    for (int done = 0; done < len;) {
        const int n = len - done < kChunk ? len - done : kChunk;
        const double* in = x + done;
        int k = 0;
        for (; k + 1 < n; k += 2) {
            // Oldest taps first: the newest outputs join last.
            Pair s = Pair{in[k], in[k + 1] - a[1] * in[k]};
#pragma GCC unroll 10
            for (int j = kLpOrder; j >= 1; --j) {
                s -= c[j] * Both(out[k - j]);
            }
            out[k] = s[0];
            out[k + 1] = s[1];
        }
        if (k < n) {
            double s = in[k];
            for (int j = kLpOrder; j >= 1; --j) {
                s -= a[j] * out[k - j];
            }
            out[k] = s;
        }
        for (int i = 0; i < n; ++i) {
            y[done + i] = out[i];
        }
        for (int i = 0; i < kLpOrder; ++i) {
            buf[i] = buf[n + i];
        }
        done += n;
    }
    if (updateMem) {
        // For blocks shorter than ten the older memory values stay in front.
        for (int i = 0; i < kLpOrder; ++i) {
            mem[i] = buf[i];
        }
    }
}

void LpResidual(const double a[kLpCoeffs], const double* x, double* y, int len) {
    for (int n = 0; n < len; ++n) {
        double s = x[n];
#pragma GCC unroll 10
        for (int i = 1; i <= kLpOrder; ++i) {
            s += a[i] * x[n - i];
        }
        y[n] = s;
    }
}

void WeightCoefficients(const double a[kLpCoeffs], double gamma, double out[kLpCoeffs]) {
    double g = gamma;
    out[0] = a[0];
    for (int i = 1; i < kLpCoeffs; ++i) {
        out[i] = a[i] * g;
        g *= gamma;
    }
}

namespace {

// Sum or difference polynomial (order 5) from the five LSPs lsp[0], lsp[2], ...
void LspPolynomial(const double* lsp, double f[6]) {
    f[0] = 1.0;
    f[1] = -2.0 * lsp[0];
    for (int i = 2; i <= 5; ++i) {
        const double b = -2.0 * lsp[2 * (i - 1)];
        f[i] = b * f[i - 1] + 2.0 * f[i - 2];
        for (int j = i - 1; j > 1; --j) {
            f[j] += b * f[j - 1] + f[j - 2];
        }
        f[1] += b;
    }
}

}  // namespace

void LspToLp(const double lsp[kLpOrder], double a[kLpCoeffs]) {
    double f1[6];
    double f2[6];
    LspPolynomial(lsp, f1);
    LspPolynomial(lsp + 1, f2);
    for (int i = 5; i > 0; --i) {
        f1[i] += f1[i - 1];
        f2[i] -= f2[i - 1];
    }
    a[0] = 1.0;
    for (int i = 1; i <= 5; ++i) {
        a[i] = 0.5 * (f1[i] + f2[i]);
        a[kLpCoeffs - i] = 0.5 * (f1[i] - f2[i]);
    }
}

void InterpolateLsp(const double prevLsp[kLpOrder], const double lsp[kLpOrder],
                    double a[2 * kLpCoeffs]) {
    double mid[kLpOrder];
    for (int i = 0; i < kLpOrder; ++i) {
        mid[i] = 0.5 * prevLsp[i] + 0.5 * lsp[i];
    }
    LspToLp(mid, a);
    LspToLp(lsp, a + kLpCoeffs);
}

void AdaptiveCodebookVector(double* exc, int t, int frac, int len) {
    int k = t;
    int phase = -frac;
    if (frac > 0) {
        k = t + 1;
        phase = 3 - frac;
    }
    for (int n = 0; n < len; ++n) {
        const double* past = exc + n - k;  // u[n-k-i] walks backwards
        const double* next = past + 1;     // u[n-k+1+i] walks forwards
        const double* b1 = kB30 + phase;
        const double* b2 = kB30 + 3 - phase;
        double s1 = 0.0;
        double s2 = 0.0;
#pragma GCC unroll 10
        for (int i = 0; i < kInterpLen; ++i) {
            s1 += past[-i] * b1[3 * i];
            s2 += next[i] * b2[3 * i];
        }
        exc[n] = s1 + s2;
    }
}

void RearrangeLsf(double b[kLpOrder], int first, int last, double gap) {
    for (int j = first; j <= last; ++j) {
        const double d = (b[j - 1] - b[j] + gap) * 0.5;
        if (d > 0.0) {
            b[j - 1] -= d;
            b[j] += d;
        }
    }
}

void LsfPredictionTarget(int mode, const LsfPredictorMemory mem, const double lsf[kLpOrder],
                         double target[kLpOrder]) {
    for (int i = 0; i < kLpOrder; ++i) {
        double pred = 0.0;
        for (int k = 0; k < 4; ++k) {
            pred += kMaPredictor[mode][k][i] * mem[k][i];
        }
        target[i] = (lsf[i] - pred) * kMaPredictorSumInv[mode][i];
    }
}

void ShiftLsfPredictor(LsfPredictorMemory mem, const double newest[kLpOrder]) {
    for (int k = 3; k > 0; --k) {
        for (int i = 0; i < kLpOrder; ++i) {
            mem[k][i] = mem[k - 1][i];
        }
    }
    for (int i = 0; i < kLpOrder; ++i) {
        mem[0][i] = newest[i];
    }
}

void StabiliseLsf(double lsf[kLpOrder]) {
    constexpr double kFloor = 0.005;
    constexpr double kMinGap = 0.0392;
    constexpr double kCeiling = 3.135;
    for (int j = 1; j < kLpOrder; ++j) {
        if (lsf[j] - lsf[j - 1] < 0.0) {
            const double t = lsf[j];
            lsf[j] = lsf[j - 1];
            lsf[j - 1] = t;
        }
    }
    if (lsf[0] < kFloor) {
        lsf[0] = kFloor;
        std::fputs("warning LSP Low \n", stdout);
    }
    for (int j = 1; j < kLpOrder; ++j) {
        if (lsf[j] - lsf[j - 1] < kMinGap) {
            lsf[j] = lsf[j - 1] + kMinGap;
        }
    }
    if (lsf[kLpOrder - 1] > kCeiling) {
        lsf[kLpOrder - 1] = kCeiling;
        std::fputs("warning LSP High \n", stdout);
    }
}

void ReconstructLsf(int mode, int l1, int l2, int l3, LsfPredictorMemory mem,
                    double lsf[kLpOrder]) {
    double b[kLpOrder];
    for (int i = 0; i < 5; ++i) {
        b[i] = kLspCb1[l1][i] + kLspCb2[l2][i];
    }
    for (int i = 5; i < kLpOrder; ++i) {
        b[i] = kLspCb1[l1][i] + kLspCb2[l3][i];
    }
    RearrangeLsf(b, 1, kLpOrder - 1, 0.0012);
    RearrangeLsf(b, 1, kLpOrder - 1, 0.0006);
    for (int i = 0; i < kLpOrder; ++i) {
        double pred = 0.0;
        for (int k = 0; k < 4; ++k) {
            pred += kMaPredictor[mode][k][i] * mem[k][i];
        }
        lsf[i] = b[i] * kMaPredictorSum[mode][i] + pred;
    }
    ShiftLsfPredictor(mem, b);
    StabiliseLsf(lsf);
}

void LsfToLsp(const double lsf[kLpOrder], double lsp[kLpOrder]) {
    for (int i = 0; i < kLpOrder; ++i) {
        lsp[i] = std::cos(lsf[i]);
    }
}

}  // namespace kestrona::codec
