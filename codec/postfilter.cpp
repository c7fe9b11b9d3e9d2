#include "codec/postfilter.h"

#include <cmath>
#include <cstring>

#include "codec/decoder.h"
#include "codec/double_pair.h"
#include "codec/lpc_common.h"
#include "codec/quad.h"
#include "codec/tables.h"

namespace kestrona::codec {

namespace {

constexpr double kGammaNum = 0.55;
constexpr double kGammaDen = 0.7;
constexpr double kTiltFactor = 0.8;
constexpr int kImpulseLength = 22;
constexpr int kSubframe = kSubframeLen;
constexpr int kFrame = kFrameSamples;

// Sum of a[n]*b[n] over a subframe, two products per instruction in four
// partial sums so that the additions overlap instead of waiting on each other.
inline double Dot(const double* a, const double* b) {
    Pair s0 = {0.0, 0.0};
    Pair s1 = {0.0, 0.0};
    for (int n = 0; n < kSubframe; n += 4) {
        s0 += LoadPair(a + n) * LoadPair(b + n);
        s1 += LoadPair(a + n + 2) * LoadPair(b + n + 2);
    }
    const Pair s = s0 + s1;
    return s[0] + s[1];
}

static_assert(kSubframe % 4 == 0);

// The gain control's running gain after n + 1 steps of g = 0.9 g + g0 is
// kAgcDecay[n] * g + kAgcRise[n] * g0; with these the samples do not wait on
// one another.
struct AgcSteps {
    double decay[kSubframe];
    double rise[kSubframe];
};

constexpr AgcSteps MakeAgcSteps() {
    AgcSteps t{};
    double d = 1.0;
    double r = 0.0;
    for (int n = 0; n < kSubframe; ++n) {
        d *= 0.9;
        r = 0.9 * r + 1.0;
        t.decay[n] = d;
        t.rise[n] = r;
    }
    return t;
}

constexpr AgcSteps kAgc = MakeAgcSteps();

}  // namespace

namespace {

// Correlations of r with its past at delays t .. t + K - 1, each in four
// partial sums (of the products at n = 0, 1, 2, 3 mod 4) added as
// (s0 + s2) + (s1 + s3); all K advance together so that they overlap. Every
// delay of a search goes through this with the same order of additions, so
// equal correlations stay equal and the smallest delay wins their tie.
template <int K>
void PastCorrelations(const double* r, int t, double out[K]) {
    static_assert(kSubframe % 4 == 0);
    Pair lo[K] = {};
    Pair hi[K] = {};
    for (int n = 0; n < kSubframe; n += 4) {
        const Pair r0 = LoadPair(r + n);
        const Pair r2 = LoadPair(r + n + 2);
        for (int k = 0; k < K; ++k) {
            lo[k] += r0 * LoadPair(r + n - t - k);
            hi[k] += r2 * LoadPair(r + n + 2 - t - k);
        }
    }
    for (int k = 0; k < K; ++k) {
        const Pair s = lo[k] + hi[k];
        out[k] = s[0] + s[1];
    }
}

#if defined(KESTRONA_CODEC_QUADS)
// The same with the four partial sums in one register.
template <int K>
__attribute__((target("avx2"))) void PastCorrelationsQuads(const double* r, int t, double out[K]) {
    Quad acc[K] = {};
    for (int n = 0; n < kSubframe; n += 4) {
        const Quad rn = LoadQuad(r + n);
        for (int k = 0; k < K; ++k) {
            acc[k] += rn * LoadQuad(r + n - t - k);
        }
    }
    for (int k = 0; k < K; ++k) {
        const Pair s = Pair{acc[k][0], acc[k][1]} + Pair{acc[k][2], acc[k][3]};
        out[k] = s[0] + s[1];
    }
}
#endif

template <int K>
void Correlations(const double* r, int t, double out[K]) {
#if defined(KESTRONA_CODEC_QUADS)
    if (g_use_quads) {
        PastCorrelationsQuads<K>(r, t, out);
        return;
    }
#endif
    PastCorrelations<K>(r, t, out);
}

}  // namespace

int LongTermPostFilter(const double* r, int tmin, int tmax, double q[kSubframe]) {
    double best = -1e38;
    int t_best = tmin;
    auto consider = [&](int t, double c) {
        if (c > best) {
            best = c;
            t_best = t;
        }
    };
    int t = tmin;
    for (; t + 3 <= tmax; t += 4) {
        double c[4];
        Correlations<4>(r, t, c);
        for (int k = 0; k < 4; ++k) {
            consider(t + k, c[k]);
        }
    }
    // The last one to three delays also in one pass.
    double c[3];
    switch (tmax - t + 1) {
        case 3:
            Correlations<3>(r, t, c);
            break;
        case 2:
            Correlations<2>(r, t, c);
            break;
        case 1:
            Correlations<1>(r, t, c);
            break;
        default:
            break;
    }
    for (int k = 0; t + k <= tmax; ++k) {
        consider(t + k, c[k]);
    }
    const double* past = r - t_best;
    const double e0 = 0.5 + Dot(past, past);
    const double e1 = 0.5 + Dot(r, r);
    if (best < 0.0) {
        best = 0.0;
    }
    if (best * best < 0.5 * e0 * e1) {
        std::memcpy(q, r, kSubframe * sizeof(double));
        return 0;
    }
    double g0;
    double g;
    if (best > e0) {
        g0 = 0.6666666666666666;
        g = 0.3333333333333333;
    } else {
        const double half = 0.5 * best;
        g = half / (half + e0);
        g0 = 1.0 - g;
    }
    for (int n = 0; n < kSubframe; ++n) {
        q[n] = g0 * r[n] + g * past[n];
    }
    return t_best;
}

void TiltFactors(const double num[2][kLpOrder + 1], const double den[2][kLpOrder + 1],
                 double mu[2]) {
    // The impulse responses of both subframes' filters, one in each half of a
    // pair: two independent recursions for the price of one.
    Pair d[kLpOrder + 1];
    for (int i = 1; i <= kLpOrder; ++i) {
        d[i] = Pair{den[0][i], den[1][i]};
    }
    // yj: the output j steps back, in registers.
    Pair y1 = {}, y2 = {}, y3 = {}, y4 = {}, y5 = {}, y6 = {}, y7 = {}, y8 = {}, y9 = {}, y10 = {};
    Pair h[kImpulseLength];
    for (int n = 0; n < kImpulseLength; ++n) {
        // The numerator's eleven coefficients, then zeros.
        const Pair in = n <= kLpOrder ? Pair{num[0][n], num[1][n]} : Pair{0.0, 0.0};
        const Pair s = in - d[10] * y10 - d[9] * y9 - d[8] * y8 - d[7] * y7 - d[6] * y6 -
                       d[5] * y5 - d[4] * y4 - d[3] * y3 - d[2] * y2 - d[1] * y1;
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
        h[n] = s;
    }
    Pair rho0 = {0.0, 0.0};
    Pair rho1 = {0.0, 0.0};
    for (int n = 0; n < kImpulseLength; ++n) {
        rho0 += h[n] * h[n];
    }
    for (int n = 0; n < kImpulseLength - 1; ++n) {
        rho1 += h[n] * h[n + 1];
    }
    for (int s = 0; s < 2; ++s) {
        mu[s] = rho1[s] > 0.0 ? kTiltFactor * rho1[s] / rho0[s] : 0.0;
    }
}

void AdaptiveGainControl(const double y[kSubframe], double z[kSubframe], double* gain) {
    const double g_out = Dot(z, z);
    if (g_out == 0.0) {
        *gain = 0.0;
        return;
    }
    const double g_in = Dot(y, y);
    // (1 - 0.9) as the reference computes it, kept for identical output.
    const double g0 = g_in == 0.0 ? 0.0 : std::sqrt(g_in / g_out) * 0.09999999999999998;
    const double g = *gain;
    for (int n = 0; n < kSubframe; ++n) {
        z[n] *= kAgc.decay[n] * g + kAgc.rise[n] * g0;
    }
    *gain = kAgc.decay[kSubframe - 1] * g + kAgc.rise[kSubframe - 1] * g0;
}

void PostFilter(G729DecoderState& st, const DecodedFrame& frame) {
    double out[kFrame];
    double* res = st.pf_res + kPitchMax;
    double nums[2][kLpOrder + 1];
    double dens[2][kLpOrder + 1];
    for (int s = 0; s < 2; ++s) {
        WeightCoefficients(frame.a + s * kLpCoeffs, kGammaNum, nums[s]);
        WeightCoefficients(frame.a + s * kLpCoeffs, kGammaDen, dens[s]);
    }
    double mus[2];
    TiltFactors(nums, dens, mus);
    for (int s = 0; s < 2; ++s) {
        const double* y = st.synth + kLpOrder + s * kSubframe;
        int tmin;
        int tmax;
        PostFilterDelayRange(frame.delay[s], &tmin, &tmax);

        const double* num = nums[s];
        const double* den = dens[s];
        LpResidual(num, y, res, kSubframe);

        double q[kSubframe];
        LongTermPostFilter(res, tmin, tmax, q);

        const double mu = mus[s];
        const double last = q[kSubframe - 1];
        for (int n = kSubframe - 1; n > 0; --n) {
            q[n] -= mu * q[n - 1];
        }
        q[0] -= mu * st.tilt_mem;
        st.tilt_mem = last;

        double* z = out + s * kSubframe;
        LpSynthesis(den, q, z, kSubframe, st.pf_synth_mem, true);
        AdaptiveGainControl(y, z, &st.agc_gain);

        std::memmove(st.pf_res, st.pf_res + kSubframe, kPitchMax * sizeof(double));
    }
    std::memcpy(st.synth, st.synth + kFrame, kLpOrder * sizeof(double));
    std::memcpy(st.synth + kLpOrder, out, kFrame * sizeof(double));
}

void PostProcess(G729DecoderState& st, double* x, int n) {
    SecondOrderFilter(kPostHpB, kPostHpA, st.pp_mem, x, n);
}

}  // namespace kestrona::codec
