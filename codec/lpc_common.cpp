#include "codec/lpc_common.h"

#include <cstdio>
#include <cstring>

// The processor features that the C library found at start-up. Its header is
// C that GCC reads as C++ too but clang does not: clang builds (fuzzing) use
// the compiler's own check instead.
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__clang__)
#define KESTRONA_CPU_FROM_LIBC 1
#include <sys/platform/x86.h>
#endif

#include "codec/double_pair.h"
#include "codec/elementary.h"
#include "codec/quad.h"
#include "codec/tables.h"

namespace kestrona::codec {

#if defined(KESTRONA_CODEC_QUADS)
// The C library has looked at the processor already; asking it is cheaper
// than the compiler's check, whose CPUID instructions each trap to the host
// under virtualisation.
#if defined(KESTRONA_CPU_FROM_LIBC)
bool g_use_quads = CPU_FEATURE_ACTIVE(AVX2);
#else
bool g_use_quads = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif
#endif

namespace {

#if defined(KESTRONA_CODEC_QUADS)
// Adaptive-codebook outputs n = 0, 4, .. below len, four at a time; needs k of
// 14 or more, so that a block reads only samples written before it.
__attribute__((target("avx2"))) int AdaptiveCodebookQuads(double* exc, int k, const double* b1,
                                                          const double* b2, int len) {
    Quad c1[kInterpLen];
    Quad c2[kInterpLen];
    for (int i = 0; i < kInterpLen; ++i) {
        c1[i] = AllFour(b1[3 * i]);
        c2[i] = AllFour(b2[3 * i]);
    }
    int n = 0;
    for (; n + 3 < len; n += 4) {
        const double* past = exc + n - k;
        const double* next = past + 1;
        Quad s1 = {0.0, 0.0, 0.0, 0.0};
        Quad s2 = {0.0, 0.0, 0.0, 0.0};
#pragma GCC unroll 10
        for (int i = 0; i < kInterpLen; ++i) {
            s1 += LoadQuad(past - i) * c1[i];
            s2 += LoadQuad(next + i) * c2[i];
        }
        StoreQuad(exc + n, s1 + s2);
    }
    return n;
}

// LpResidual's outputs n = 0, 4, .. below len, four at a time.
__attribute__((target("avx2"))) int LpResidualQuads(const double a[kLpCoeffs], const double* x,
                                                    double* y, int len) {
    Quad c[kLpCoeffs];
    for (int i = 1; i <= kLpOrder; ++i) {
        c[i] = AllFour(a[i]);
    }
    int n = 0;
    for (; n + 3 < len; n += 4) {
        Quad s = LoadQuad(x + n);
#pragma GCC unroll 10
        for (int i = 1; i <= kLpOrder; ++i) {
            s += c[i] * LoadQuad(x + n - i);
        }
        StoreQuad(y + n, s);
    }
    return n;
}
#endif

}  // namespace

void LpSynthesis(const double a[kLpCoeffs], const double* x, double* y, int len,
                 double mem[kLpOrder], bool updateMem) {
    // Outputs are made two at a time. Putting the first of a pair into the
    // second's recursion,
    //   y[n+1] = x[n+1] - a1 x[n] - sum_{j=1..10} (a[j+1] - a1 a[j]) y[n-j],
    // makes both depend on the same ten earlier outputs only, so the two sums
    // share one register and half the instructions. The ten past outputs stay
    // in registers, each in both halves (yj the one j steps back): a value
    // stored and loaded back at once would put the store's forwarding delay
    // into the recursion.
    Pair c[kLpCoeffs];
    for (int j = 1; j < kLpOrder; ++j) {
        c[j] = Pair{a[j], a[j + 1] - a[1] * a[j]};
    }
    c[kLpOrder] = Pair{a[kLpOrder], -a[1] * a[kLpOrder]};
    Pair y1 = Both(mem[9]), y2 = Both(mem[8]), y3 = Both(mem[7]), y4 = Both(mem[6]);
    Pair y5 = Both(mem[5]), y6 = Both(mem[4]), y7 = Both(mem[3]), y8 = Both(mem[2]);
    Pair y9 = Both(mem[1]), y10 = Both(mem[0]);
    int n = 0;
    for (; n + 1 < len; n += 2) {
        const double x0 = x[n];
        const double x1 = x[n + 1];
        // Oldest taps first: the newest outputs join last.
        const Pair s = Pair{x0, x1 - a[1] * x0} - c[10] * y10 - c[9] * y9 - c[8] * y8 - c[7] * y7 -
                       c[6] * y6 - c[5] * y5 - c[4] * y4 - c[3] * y3 - c[2] * y2 - c[1] * y1;
        y10 = y8;
        y9 = y7;
        y8 = y6;
        y7 = y5;
        y6 = y4;
        y5 = y3;
        y4 = y2;
        y3 = y1;
        y2 = Both(s[0]);
        y1 = Both(s[1]);
        y[n] = s[0];
        y[n + 1] = s[1];
    }
    if (n < len) {
        const Pair s = Both(x[n]) - Both(a[10]) * y10 - Both(a[9]) * y9 - Both(a[8]) * y8 -
                       Both(a[7]) * y7 - Both(a[6]) * y6 - Both(a[5]) * y5 - Both(a[4]) * y4 -
                       Both(a[3]) * y3 - Both(a[2]) * y2 - Both(a[1]) * y1;
        y10 = y9;
        y9 = y8;
        y8 = y7;
        y7 = y6;
        y6 = y5;
        y5 = y4;
        y4 = y3;
        y3 = y2;
        y2 = y1;
        y1 = s;
        y[n] = s[0];
    }
    if (updateMem) {
        // For blocks shorter than ten the older memory values stay in front.
        mem[0] = y10[0];
        mem[1] = y9[0];
        mem[2] = y8[0];
        mem[3] = y7[0];
        mem[4] = y6[0];
        mem[5] = y5[0];
        mem[6] = y4[0];
        mem[7] = y3[0];
        mem[8] = y2[0];
        mem[9] = y1[0];
    }
}

void LpResidual(const double a[kLpCoeffs], const double* x, double* y, int len) {
    // Outputs are independent: two per step, each summed in the order below.
    int n = 0;
#if defined(KESTRONA_CODEC_QUADS)
    if (g_use_quads) {
        n = LpResidualQuads(a, x, y, len);
    }
#endif
    Pair c[kLpCoeffs];
    for (int i = 1; i <= kLpOrder; ++i) {
        c[i] = Both(a[i]);
    }
    for (; n + 1 < len; n += 2) {
        Pair s = LoadPair(x + n);
#pragma GCC unroll 10
        for (int i = 1; i <= kLpOrder; ++i) {
            s += c[i] * LoadPair(x + n - i);
        }
        y[n] = s[0];
        y[n + 1] = s[1];
    }
    for (; n < len; ++n) {
        double s = x[n];
        for (int i = 1; i <= kLpOrder; ++i) {
            s += a[i] * x[n - i];
        }
        y[n] = s;
    }
}

void SecondOrderFilter(const double b[3], const double a[3], double mem[4], double* x, int n) {
    const double b0 = b[0];
    const double b1 = b[1];
    const double b2 = b[2];
    const double a1 = a[1];
    const double a2 = a[2];
    // Four outputs per step. With w[n] the zeros' part, each output of a
    // block is w of the block weighted by the poles' impulse response g, plus
    // the two outputs before the block weighted by p and q; so the recursion
    // waits once per four samples instead of once per sample.
    const double g1 = a1;
    const double g2 = a1 * g1 + a2;
    const double g3 = a1 * g2 + a2 * g1;
    const double p0 = a1;
    const double q0 = a2;
    const double p1 = a1 * p0 + a2;
    const double q1 = a1 * q0;
    const double p2 = a1 * p1 + a2 * p0;
    const double q2 = a1 * q1 + a2 * q0;
    const double p3 = a1 * p2 + a2 * p1;
    const double q3 = a1 * q2 + a2 * q1;
    const Pair pLo = {p0, p1};
    const Pair qLo = {q0, q1};
    const Pair pHi = {p2, p3};
    const Pair qHi = {q2, q3};
    double x1 = mem[0];
    double x2 = mem[1];
    double y1 = mem[2];
    double y2 = mem[3];
    int i = 0;
    for (; i + 3 < n; i += 4) {
        const double in0 = x[i];
        const double in1 = x[i + 1];
        const double in2 = x[i + 2];
        const double in3 = x[i + 3];
        const double w0 = b0 * in0 + b1 * x1 + b2 * x2;
        const double w1 = b0 * in1 + b1 * in0 + b2 * x1;
        const double w2 = b0 * in2 + b1 * in1 + b2 * in0;
        const double w3 = b0 * in3 + b1 * in2 + b2 * in1;
        // The outputs before the block join last.
        const Pair lo = Pair{w0, w1 + g1 * w0} + (qLo * Both(y2) + pLo * Both(y1));
        const Pair hi = Pair{w2 + g1 * w1 + g2 * w0, w3 + g1 * w2 + g2 * w1 + g3 * w0} +
                        (qHi * Both(y2) + pHi * Both(y1));
        x2 = in2;
        x1 = in3;
        y2 = hi[0];
        y1 = hi[1];
        x[i] = lo[0];
        x[i + 1] = lo[1];
        x[i + 2] = hi[0];
        x[i + 3] = hi[1];
    }
    for (; i < n; ++i) {
        const double in = x[i];
        const double out = (b0 * in + b1 * x1 + b2 * x2 + a2 * y2) + a1 * y1;
        x2 = x1;
        x1 = in;
        y2 = y1;
        y1 = out;
        x[i] = out;
    }
    mem[0] = x1;
    mem[1] = x2;
    mem[2] = y1;
    mem[3] = y2;
}

void WeightCoefficients(const double a[kLpCoeffs], double gamma, double out[kLpCoeffs]) {
    double g = gamma;
    out[0] = a[0];
    for (int i = 1; i < kLpCoeffs; ++i) {
        out[i] = a[i] * g;
        g *= gamma;
    }
}

void LspToLp(const double lsp[kLpOrder], double a[kLpCoeffs]) {
    // F1 from the LSPs at even positions in the first half of each pair, F2
    // from those at odd positions in the second: both polynomials for the
    // price of one, each with its own arithmetic unchanged.
    Pair f[6];
    f[0] = Pair{1.0, 1.0};
    f[1] = Pair{-2.0 * lsp[0], -2.0 * lsp[1]};
    for (int i = 2; i <= 5; ++i) {
        const Pair b = Pair{-2.0 * lsp[2 * (i - 1)], -2.0 * lsp[2 * (i - 1) + 1]};
        f[i] = b * f[i - 1] + Both(2.0) * f[i - 2];
        for (int j = i - 1; j > 1; --j) {
            f[j] += b * f[j - 1] + f[j - 2];
        }
        f[1] += b;
    }
    double f1[6];
    double f2[6];
    for (int i = 0; i <= 5; ++i) {
        f1[i] = f[i][0];
        f2[i] = f[i][1];
    }
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
    const double* b1 = kB30 + phase;
    const double* b2 = kB30 + 3 - phase;
    int n = 0;
    Pair c1[kInterpLen];
    Pair c2[kInterpLen];
    for (int i = 0; i < kInterpLen; ++i) {
        c1[i] = Both(b1[3 * i]);
        c2[i] = Both(b2[3 * i]);
    }
    // Output n reads up to exc[n - k + 10], so for k of 12 or more two
    // neighbouring outputs read only samples written before them and can be
    // made together, each with its own sums in the same order as below.
    // Four at a time share the loads of the filter; that needs k of 14 or
    // more, which every pitch delay gives.
    if (k > kInterpLen + 3) {
#if defined(KESTRONA_CODEC_QUADS)
        if (g_use_quads) {
            n = AdaptiveCodebookQuads(exc, k, b1, b2, len);
        }
#endif
        for (; n + 3 < len; n += 4) {
            const double* past = exc + n - k;
            const double* next = past + 1;
            Pair s1 = {0.0, 0.0};
            Pair s2 = {0.0, 0.0};
            Pair s3 = {0.0, 0.0};
            Pair s4 = {0.0, 0.0};
#pragma GCC unroll 10
            for (int i = 0; i < kInterpLen; ++i) {
                s1 += LoadPair(past - i) * c1[i];
                s3 += LoadPair(past + 2 - i) * c1[i];
                s2 += LoadPair(next + i) * c2[i];
                s4 += LoadPair(next + 2 + i) * c2[i];
            }
            const Pair lo = s1 + s2;
            const Pair hi = s3 + s4;
            exc[n] = lo[0];
            exc[n + 1] = lo[1];
            exc[n + 2] = hi[0];
            exc[n + 3] = hi[1];
        }
    }
    if (k > kInterpLen + 1) {
        for (; n + 1 < len; n += 2) {
            const double* past = exc + n - k;  // u[n-k-i] walks backwards
            const double* next = past + 1;     // u[n-k+1+i] walks forwards
            Pair s1 = {0.0, 0.0};
            Pair s2 = {0.0, 0.0};
#pragma GCC unroll 10
            for (int i = 0; i < kInterpLen; ++i) {
                s1 += LoadPair(past - i) * c1[i];
                s2 += LoadPair(next + i) * c2[i];
            }
            const Pair v = s1 + s2;
            exc[n] = v[0];
            exc[n + 1] = v[1];
        }
    }
    for (; n < len; ++n) {
        const double* past = exc + n - k;
        const double* next = past + 1;
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

void StabiliseLsf(double lsf[kLpOrder], LspWarnings& warnings) {
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
        ++warnings.low;
        if (warnings.print) {
            std::fputs("warning LSP Low \n", stdout);
        }
    }
    for (int j = 1; j < kLpOrder; ++j) {
        if (lsf[j] - lsf[j - 1] < kMinGap) {
            lsf[j] = lsf[j - 1] + kMinGap;
        }
    }
    if (lsf[kLpOrder - 1] > kCeiling) {
        lsf[kLpOrder - 1] = kCeiling;
        ++warnings.high;
        if (warnings.print) {
            std::fputs("warning LSP High \n", stdout);
        }
    }
}

void ReconstructLsf(int mode, int l1, int l2, int l3, LsfPredictorMemory mem, double lsf[kLpOrder],
                    LspWarnings& warnings) {
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
    StabiliseLsf(lsf, warnings);
}

void LsfToLsp(const double lsf[kLpOrder], double lsp[kLpOrder]) {
    for (int i = 0; i < kLpOrder; ++i) {
        lsp[i] = Cosine(lsf[i]);
    }
}

}  // namespace kestrona::codec
