// Depth-first search of the 17-bit algebraic codebook: four signed unit pulses,
// one per track, found by two runs (fourth track 3, then 4) of two searches.
#include "codec/double_pair.h"
#include "codec/encoder_internal.h"

namespace kestrona::codec::enc {

namespace {

constexpr int kStep = 5;
constexpr int kL = kSubframeLen;

// phi[i][j] = sum_{n=max(i,j)..39} h[n-i]h[n-j], signed by s[i]s[j]; the diagonal
// carries the factor 1/2 of the energy term. Two distinct positions on one track
// are never paired, so those entries are left unset.
struct Correlations {
    double phi[kL][kL];
};

void ComputeCorrelations(const double h[kL], const double sign[kL], Correlations& c) {
    // Along each diagonal the sums grow by one term as the start moves back.
    double sum = 0.0;
    for (int k = 0; k < kL; ++k) {
        sum += h[k] * h[k];
        const int i = kL - 1 - k;
        c.phi[i][i] = 0.5 * sum;
    }
    // Off the diagonal, two neighbouring diagonals (m, m + 1) at a time, one
    // in each half of a pair, so that their running sums overlap; diagonals
    // that are multiples of 5 join two positions of one track and are skipped.
    // Entries (i, i + m) and (i, i + m + 1) sit side by side in row i.
    for (int base = 0; base < kL; base += kStep) {
        for (int q = 1; q <= 3; q += 2) {
            const int m = base + q;
            // Diagonal m starts one step before m + 1 does.
            const double s0 = h[m] * h[0];
            const double v0 = s0 * sign[kL - 1 - m] * sign[kL - 1];
            c.phi[kL - 1 - m][kL - 1] = v0;
            c.phi[kL - 1][kL - 1 - m] = v0;
            Pair sum = {s0, 0.0};
            for (int k = m + 1; k < kL; ++k) {
                const int i = kL - 1 - k;
                // {h[k - m], h[k - m - 1]}
                const Pair past = Swapped(LoadPair(h + k - m - 1));
                sum += Both(h[k]) * past;
                const Pair v = sum * (Both(sign[i]) * LoadPair(sign + i + m));
                StorePair(&c.phi[i][i + m], v);
                c.phi[i + m][i] = v[0];
                c.phi[i + m + 1][i] = v[1];
            }
        }
    }
}

// Candidate quality compare: (d2, a) beats (bestD2, bestA) when d2/a > bestD2/bestA,
// evaluated without division so that the first of equals stays.
inline bool Better(double d2, double a, double bestD2, double bestA) {
    return d2 * bestA - bestD2 * a > 0.0;
}

// Two largest values of d on a track; the second skips the first's position.
void TwoLargest(const double d[kL], int track, int out[2]) {
    int prev = -1;
    for (int k = 0; k < 2; ++k) {
        double max = -1.0;
        int pos = track;
        for (int j = track; j < kL; j += kStep) {
            if (d[j] > max && j != prev) {
                max = d[j];
                pos = j;
            }
        }
        out[k] = pos;
        prev = pos;
    }
}

struct Best {
    double d2 = -1.0;
    double a = 1.0;
    double d = 0.0;
    int p[4] = {0, 0, 0, 0};
};

constexpr int kRow = kL / kStep;  // positions per track

// Scores the eight candidates of one row in order against the running best and
// returns the index of the last one that replaced it, or -1. Most rows hold no
// better candidate; a branch-free test finds those without the sequential scan
// (if none beats the best at the start of the row, none can replace it later).
int ScanRow(const double dd[kRow], const double a[kRow], Best& best) {
    // The test of Better, two candidates per instruction.
    typedef long long Lanes __attribute__((vector_size(16)));
    const Pair bestA = Both(best.a);
    const Pair bestD2 = Both(best.d2);
    const Pair zero = {0.0, 0.0};
    Lanes any = {0, 0};
    for (int j = 0; j < kRow; j += 2) {
        const Pair d = LoadPair(dd + j);
        any |= (d * d) * bestA - bestD2 * LoadPair(a + j) > zero;
    }
    if ((any[0] | any[1]) == 0) {
        return -1;
    }
    int winner = -1;
    for (int j = 0; j < kRow; ++j) {
        if (Better(dd[j] * dd[j], a[j], best.d2, best.a)) {
            best.d2 = dd[j] * dd[j];
            best.a = a[j];
            best.d = dd[j];
            winner = j;
        }
    }
    return winner;
}

}  // namespace

AcelpResult AcelpSearch(const double x2[kL], const double h[kL], double code[kL], double y2[kL]) {
    double d[kL];
    BackwardFilter(x2, h, d);
    double sign[kL];
    for (int n = 0; n < kL; ++n) {
        // Signs are close to random: selects rather than branches.
        const bool negative = d[n] < 0.0;
        sign[n] = negative ? -1.0 : 1.0;
        d[n] = negative ? -d[n] : d[n];
    }
    Correlations c;
    ComputeCorrelations(h, sign, c);
    const auto& phi = c.phi;

    Best overall;
    double dd[kRow];
    double aa[kRow];
    for (int tau = 3; tau <= 4; ++tau) {
        // Search 1: pulses 2 and 3 first, then 0 and 1.
        {
            int cand[2];
            TwoLargest(d, 2, cand);
            Best pair;
            for (int i2 : cand) {
                for (int j = 0; j < kRow; ++j) {
                    const int i3 = tau + kStep * j;
                    dd[j] = d[i2] + d[i3];
                    aa[j] = phi[i2][i2] + phi[i3][i3] + phi[i2][i3];
                }
                const int w = ScanRow(dd, aa, pair);
                if (w >= 0) {
                    pair.p[2] = i2;
                    pair.p[3] = tau + kStep * w;
                }
            }
            const int i2 = pair.p[2];
            const int i3 = pair.p[3];
            // The terms of pulse 1 with the fixed pair do not depend on pulse 0.
            double inner[kRow];
            for (int j = 0; j < kRow; ++j) {
                const int i1 = 1 + kStep * j;
                inner[j] = phi[i1][i1] + phi[i1][i2] + phi[i1][i3];
            }
            Best quad;
            for (int i0 = 0; i0 < kL; i0 += kStep) {
                const double d1 = pair.d + d[i0];
                const double a1 = pair.a + phi[i0][i0] + phi[i0][i2] + phi[i0][i3];
                for (int j = 0; j < kRow; ++j) {
                    const int i1 = 1 + kStep * j;
                    dd[j] = d1 + d[i1];
                    aa[j] = a1 + inner[j] + phi[i0][i1];
                }
                const int w = ScanRow(dd, aa, quad);
                if (w >= 0) {
                    quad.p[0] = i0;
                    quad.p[1] = 1 + kStep * w;
                }
            }
            quad.p[2] = i2;
            quad.p[3] = i3;
            if (Better(quad.d2, quad.a, overall.d2, overall.a)) {
                overall = quad;
            }
        }
        // Search 2: pulses 3 and 0 first, then 1 and 2.
        {
            int cand[2];
            TwoLargest(d, tau, cand);
            Best pair;
            for (int i3 : cand) {
                for (int j = 0; j < kRow; ++j) {
                    const int i0 = kStep * j;
                    dd[j] = d[i3] + d[i0];
                    aa[j] = phi[i3][i3] + phi[i0][i0] + phi[i0][i3];
                }
                const int w = ScanRow(dd, aa, pair);
                if (w >= 0) {
                    pair.p[3] = i3;
                    pair.p[0] = kStep * w;
                }
            }
            const int i0 = pair.p[0];
            const int i3 = pair.p[3];
            // The terms of pulse 2 with the fixed pair do not depend on pulse 1.
            double inner[kRow];
            for (int j = 0; j < kRow; ++j) {
                const int i2 = 2 + kStep * j;
                inner[j] = phi[i2][i2] + phi[i0][i2] + phi[i2][i3];
            }
            Best quad;
            for (int i1 = 1; i1 < kL; i1 += kStep) {
                const double d1 = pair.d + d[i1];
                const double a1 = pair.a + phi[i1][i1] + phi[i0][i1] + phi[i1][i3];
                for (int j = 0; j < kRow; ++j) {
                    const int i2 = 2 + kStep * j;
                    dd[j] = d1 + d[i2];
                    aa[j] = a1 + inner[j] + phi[i1][i2];
                }
                const int w = ScanRow(dd, aa, quad);
                if (w >= 0) {
                    quad.p[1] = i1;
                    quad.p[2] = 2 + kStep * w;
                }
            }
            quad.p[0] = i0;
            quad.p[3] = i3;
            if (Better(quad.d2, quad.a, overall.d2, overall.a)) {
                overall = quad;
            }
        }
    }

    AcelpResult r{};
    for (int n = 0; n < kL; ++n) {
        code[n] = 0.0;
        y2[n] = 0.0;
    }
    r.signIndex = 0;
    for (int k = 0; k < 4; ++k) {
        const int p = overall.p[k];
        const double s = sign[p];
        r.positions[k] = p;
        r.signs[k] = s > 0 ? 1 : -1;
        if (s > 0) {
            r.signIndex += 1 << k;
        }
        code[p] = s;
        for (int n = p; n < kL; ++n) {
            y2[n] += s * h[n - p];
        }
    }
    const int p3 = overall.p[3];
    r.positionIndex = overall.p[0] / kStep + 8 * (overall.p[1] / kStep) +
                      64 * (overall.p[2] / kStep) + 512 * (2 * (p3 / kStep) + p3 % kStep - 3);
    return r;
}

}  // namespace kestrona::codec::enc
