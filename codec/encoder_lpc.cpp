// Per-frame LP analysis of the encoder: window, autocorrelation, Levinson-Durbin,
// LSPs, their quantisation, interpolation, residual and weighted speech.
#include <cmath>

#include "codec/double_pair.h"
#include "codec/elementary.h"
#include "codec/encoder.h"
#include "codec/encoder_internal.h"
#include "codec/tables.h"

namespace kestrona::codec::enc {

void PreProcess(double mem[4], double* x, int n) {
    SecondOrderFilter(kPreHpB, kPreHpA, mem, x, n);
}

void Autocorrelation(const double speech[240], double r[kLpOrder + 1]) {
    // The windowed speech follows eleven zeros, so that every lag can run over
    // the whole window: a lag-k sum gains k zero terms in front, nothing else.
    constexpr int kPad = kLpOrder + 1;
    double padded[kPad + 240];
    for (int n = 0; n < kPad; ++n) {
        padded[n] = 0.0;
    }
    double* y = padded + kPad;
    for (int n = 0; n < 240; ++n) {
        y[n] = speech[n] * kLpWindow[n];
    }
    // Lags in pairs (k + 1, k), all advancing together in increasing n, so
    // that the sums do not wait on one another.
    Pair acc[6] = {};
    for (int n = 0; n < 240; ++n) {
        const Pair yn = Both(y[n]);
#pragma GCC unroll 6
        for (int j = 0; j < 6; ++j) {
            acc[j] += yn * LoadPair(y + n - 2 * j - 1);
        }
    }
    for (int j = 0; j < 6; ++j) {
        r[2 * j] = acc[j][1];
        if (2 * j + 1 <= kLpOrder) {
            r[2 * j + 1] = acc[j][0];
        }
    }
    // Silence would otherwise divide by zero in the recursion; a floor of 1.0
    // turns it into a flat filter.
    if (r[0] < 1.0) {
        r[0] = 1.0;
    }
}

void LagWindowLevinson(double r[kLpOrder + 1], double a[kLpCoeffs]) {
    for (int k = 0; k <= kLpOrder; ++k) {
        r[k] *= kLagWindow[k];
    }
    constexpr double kErrorFloor = 0.001;
    a[0] = 1.0;
    for (int i = 1; i < kLpCoeffs; ++i) {
        a[i] = 0.0;
    }
    double k = -r[1] / r[0];
    a[1] = k;
    double err = r[0] + r[1] * k;
    if (err <= 0.0) {
        err = kErrorFloor;
    }
    for (int i = 2; i <= kLpOrder; ++i) {
        double s = 0.0;
        for (int j = 0; j < i; ++j) {
            s += r[i - j] * a[j];
        }
        k = -s / err;
        for (int j = 1; j <= i / 2; ++j) {
            const double lo = a[j] + k * a[i - j];
            const double hi = a[i - j] + k * a[j];
            a[j] = lo;
            a[i - j] = hi;
        }
        a[i] = k;
        err += k * s;
        if (err <= 0.0) {
            err = kErrorFloor;
        }
    }
}

namespace {

double Chebyshev(double x, const double f[6]) {
    double b2 = 1.0;
    double b1 = 2.0 * x + f[1];
    for (int i = 2; i < 5; ++i) {
        const double b0 = 2.0 * x * b1 - b2 + f[i];
        b2 = b1;
        b1 = b0;
    }
    return x * b1 - b2 + 0.5 * f[5];
}

}  // namespace

bool LpToLsp(const double a[kLpCoeffs], double lsp[kLpOrder]) {
    double f1[6];
    double f2[6];
    f1[0] = 1.0;
    f2[0] = 1.0;
    for (int i = 1; i <= 5; ++i) {
        f1[i] = a[i] + a[kLpCoeffs - i] - f1[i - 1];
        f2[i] = a[i] - a[kLpCoeffs - i] + f2[i - 1];
    }

    constexpr int kIntervals = 50;
    const double* poly = f1;
    int found = 0;
    int j = 0;  // the interval under test ends at grid point j + 1
    double xLow = kLspGrid[0];
    double yLow = Chebyshev(xLow, poly);
    while (found < kLpOrder && j < kIntervals) {
        double xHigh = xLow;
        double yHigh = yLow;
        xLow = kLspGrid[j + 1];
        yLow = Chebyshev(xLow, poly);
        if (yLow * yHigh > 0.0) {
            ++j;
            continue;
        }
        for (int halving = 0; halving < 2; ++halving) {
            const double xMid = 0.5 * (xLow + xHigh);
            const double yMid = Chebyshev(xMid, poly);
            if (yMid * yLow > 0.0) {
                xLow = xMid;
                yLow = yMid;
            } else {
                xHigh = xMid;
                yHigh = yMid;
            }
        }
        const double dy = yHigh - yLow;
        const double root = dy != 0.0 ? xLow - yLow * (xHigh - xLow) / dy : xLow;
        lsp[found++] = root;
        // Roots of the two polynomials interlace: continue in the other one from
        // this root, over what is left of the same grid interval.
        poly = (poly == f1) ? f2 : f1;
        xLow = root;
        yLow = Chebyshev(xLow, poly);
    }
    return found == kLpOrder;
}

namespace {

void LsfWeights(const double lsf[kLpOrder], double w[kLpOrder]) {
    constexpr double kPi004 = 0.12566370616;
    constexpr double kPi092 = 2.8902652416800003;
    auto weight = [](double delta) { return delta > 0.0 ? 1.0 : 10.0 * delta * delta + 1.0; };
    w[0] = weight(lsf[1] - kPi004 - 1.0);
    for (int i = 1; i < kLpOrder - 1; ++i) {
        w[i] = weight(lsf[i + 1] - lsf[i - 1] - 1.0);
    }
    w[kLpOrder - 1] = weight(kPi092 - lsf[kLpOrder - 2] - 1.0);
    w[4] *= 1.2;
    w[5] *= 1.2;
}

struct ModeChoice {
    int l1;
    int l2;
    int l3;
    double distortion;
};

// The first-stage codebook by coefficient, so that neighbouring rows sit
// side by side.
struct FirstStageByColumn {
    double col[kLpOrder][128];
};

const FirstStageByColumn& FirstStageColumns() {
    static const FirstStageByColumn t = [] {
        FirstStageByColumn c{};
        for (int r = 0; r < 128; ++r) {
            for (int i = 0; i < kLpOrder; ++i) {
                c.col[i][r] = kLspCb1[r][i];
            }
        }
        return c;
    }();
    return t;
}

ModeChoice SearchMode(int mode, const double target[kLpOrder], const double w[kLpOrder]) {
    ModeChoice c{};
    // Two rows per instruction, each summed in increasing coefficient order;
    // then the rows are compared in order, so the lowest of equal rows wins.
    const FirstStageByColumn& cb = FirstStageColumns();
    double dist[128];
    for (int r = 0; r < 128; r += 4) {
        Pair d0 = {0.0, 0.0};
        Pair d1 = {0.0, 0.0};
#pragma GCC unroll 10
        for (int i = 0; i < kLpOrder; ++i) {
            const Pair t = Both(target[i]);
            const Pair e0 = t - LoadPair(cb.col[i] + r);
            const Pair e1 = t - LoadPair(cb.col[i] + r + 2);
            d0 += e0 * e0;
            d1 += e1 * e1;
        }
        StorePair(dist + r, d0);
        StorePair(dist + r + 2, d1);
    }
    // The least distance first, in four independent running minima, then the
    // first row that has it: the same row as a strict scan in order, without
    // one long chain of compares.
    double least[4] = {1e38, 1e38, 1e38, 1e38};
    for (int r = 0; r < 128; r += 4) {
        for (int j = 0; j < 4; ++j) {
            least[j] = dist[r + j] < least[j] ? dist[r + j] : least[j];
        }
    }
    double best = least[0];
    for (int j = 1; j < 4; ++j) {
        best = least[j] < best ? least[j] : best;
    }
    if (best < 1e38) {
        int r = 0;
        while (dist[r] != best) {
            ++r;
        }
        c.l1 = r;
    }
    const double* first = kLspCb1[c.l1];
    double rest[kLpOrder];  // what the second stage has to supply
    for (int i = 0; i < kLpOrder; ++i) {
        rest[i] = target[i] - first[i];
    }

    best = 1e38;
    for (int r = 0; r < 32; ++r) {
        double dist = 0.0;
        for (int i = 0; i < 5; ++i) {
            const double e = rest[i] - kLspCb2[r][i];
            dist += w[i] * e * e;
        }
        if (dist < best) {
            best = dist;
            c.l2 = r;
        }
    }
    best = 1e38;
    for (int r = 0; r < 32; ++r) {
        double dist = 0.0;
        for (int i = 5; i < kLpOrder; ++i) {
            const double e = rest[i] - kLspCb2[r][i];
            dist += w[i] * e * e;
        }
        if (dist < best) {
            best = dist;
            c.l3 = r;
        }
    }

    double b[kLpOrder];
    for (int i = 0; i < 5; ++i) {
        b[i] = first[i] + kLspCb2[c.l2][i];
    }
    RearrangeLsf(b, 1, 4, 0.0012);
    for (int i = 5; i < kLpOrder; ++i) {
        b[i] = first[i] + kLspCb2[c.l3][i];
    }
    RearrangeLsf(b, 5, 9, 0.0012);
    RearrangeLsf(b, 1, 9, 0.0006);

    c.distortion = 0.0;
    for (int i = 0; i < kLpOrder; ++i) {
        const double e = (b[i] - target[i]) * kMaPredictorSum[mode][i];
        c.distortion += w[i] * e * e;
    }
    return c;
}

}  // namespace

void QuantiseLsp(const double lsp[kLpOrder], LsfPredictorMemory mem, double lspQ[kLpOrder],
                 int32_t* param0, int32_t* param1, LspWarnings& warnings) {
    double lsf[kLpOrder];
    for (int i = 0; i < kLpOrder; ++i) {
        lsf[i] = ArcCosine(lsp[i]);
    }
    double w[kLpOrder];
    LsfWeights(lsf, w);

    ModeChoice choice[2];
    for (int mode = 0; mode < 2; ++mode) {
        double target[kLpOrder];
        LsfPredictionTarget(mode, mem, lsf, target);
        choice[mode] = SearchMode(mode, target, w);
    }
    const int mode = choice[1].distortion < choice[0].distortion ? 1 : 0;
    const ModeChoice& c = choice[mode];
    *param0 = mode * 128 + c.l1;
    *param1 = c.l2 * 32 + c.l3;

    double lsfQ[kLpOrder];
    ReconstructLsf(mode, c.l1, c.l2, c.l3, mem, lsfQ, warnings);
    LsfToLsp(lsfQ, lspQ);
}

void AnalyseFrame(G729EncoderState& st, int32_t* params, double aq[2 * kLpCoeffs],
                  double aw[2 * kLpCoeffs]) {
    double r[kLpOrder + 1];
    double a[kLpCoeffs];
    Autocorrelation(st.speech, r);
    LagWindowLevinson(r, a);

    double lsp[kLpOrder];
    if (!LpToLsp(a, lsp)) {
        for (int i = 0; i < kLpOrder; ++i) {
            lsp[i] = st.prev_lsp[i];
        }
    }
    double lspQ[kLpOrder];
    QuantiseLsp(lsp, st.lsf_pred_mem, lspQ, &params[0], &params[1], st.lsp_warnings);

    InterpolateLsp(st.prev_lsp_q, lspQ, aq);
    WeightCoefficients(aq, kGamma, aw);
    WeightCoefficients(aq + kLpCoeffs, kGamma, aw + kLpCoeffs);
    for (int i = 0; i < kLpOrder; ++i) {
        st.prev_lsp[i] = lsp[i];
        st.prev_lsp_q[i] = lspQ[i];
    }

    constexpr int kSub = kSubframeLen;
    for (int s = 0; s < 2; ++s) {
        const double* q = aq + s * kLpCoeffs;
        const double* wq = aw + s * kLpCoeffs;
        double* res = st.exc + G729EncoderState::kExcHistory + s * kSub;
        LpResidual(q, st.speech + G729EncoderState::kSpeechFrameStart + s * kSub, res, kSub);
        // 1/P(z) with P = A(z/gamma)(1 - 0.7 z^-1) cut at order 10 approximates
        // the weighting filter on the residual.
        double p[kLpCoeffs];
        p[0] = 1.0;
        for (int i = 1; i < kLpCoeffs; ++i) {
            p[i] = wq[i] - 0.7 * wq[i - 1];
        }
        LpSynthesis(p, res, st.wsp + G729EncoderState::kWspHistory + s * kSub, kSub, st.weight_mem,
                    true);
    }
}

}  // namespace kestrona::codec::enc
