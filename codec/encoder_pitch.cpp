// Pitch analysis of the encoder: open-loop delay on the decimated weighted
// speech, closed-loop delay with 1/3 fractions, delay coding and taming.
#include <cmath>

#include "codec/double_pair.h"
#include "codec/encoder_internal.h"

namespace kestrona::codec::enc {

namespace {

constexpr int kFrameLen = 80;
constexpr int kHalf = kFrameLen / 2;  // even samples of a frame

// The open-loop search reads only even samples of the current frame, and the
// past at a fixed delay from them: even past samples for even delays, odd ones
// for odd delays. Split into two runs, both are contiguous, and two products
// fit in one instruction.
class EvenOddSpeech {
  public:
    // s points at the current frame, with kPitchMax past values before it.
    explicit EvenOddSpeech(const double* s) {
        for (int m = -kEvenPast; m < kHalf; ++m) {
            even_[kEvenPast + m] = s[2 * m];
        }
        for (int m = -kOddPast; m < kHalf; ++m) {
            odd_[kOddPast + m] = s[2 * m + 1];
        }
    }
    // s[2m] for m = 0..39.
    const double* Now() const { return even_ + kEvenPast; }
    // s[2m - delay] for m = 0..39.
    const double* Past(int delay) const {
        return delay % 2 == 0 ? even_ + kEvenPast - delay / 2 : odd_ + kOddPast - (delay + 1) / 2;
    }

  private:
    static constexpr int kEvenPast = kPitchMax / 2;     // s[-142] .. s[-2]
    static constexpr int kOddPast = kPitchMax / 2 + 1;  // s[-143] .. s[-1]
    double even_[kEvenPast + kHalf];
    double odd_[kOddPast + kHalf];
};

static_assert(kHalf % 2 == 0);

// Correlation of the current frame with its past at `delay`, even samples only.
double EvenCorrelation(const EvenOddSpeech& s, int delay) {
    const double* now = s.Now();
    const double* past = s.Past(delay);
    Pair a = {0.0, 0.0};
    for (int m = 0; m < kHalf; m += 2) {
        a += LoadPair(now + m) * LoadPair(past + m);
    }
    return a[0] + a[1];
}

// The same at four delays from `delay` on, `step` apart: independent sums that
// the processor can overlap.
void EvenCorrelation4(const EvenOddSpeech& s, int delay, int step, double out[4]) {
    const double* now = s.Now();
    const double* p0 = s.Past(delay);
    const double* p1 = s.Past(delay + step);
    const double* p2 = s.Past(delay + 2 * step);
    const double* p3 = s.Past(delay + 3 * step);
    Pair a0 = {0.0, 0.0};
    Pair a1 = {0.0, 0.0};
    Pair a2 = {0.0, 0.0};
    Pair a3 = {0.0, 0.0};
    for (int m = 0; m < kHalf; m += 2) {
        const Pair sn = LoadPair(now + m);
        a0 += sn * LoadPair(p0 + m);
        a1 += sn * LoadPair(p1 + m);
        a2 += sn * LoadPair(p2 + m);
        a3 += sn * LoadPair(p3 + m);
    }
    out[0] = a0[0] + a0[1];
    out[1] = a1[0] + a1[1];
    out[2] = a2[0] + a2[1];
    out[3] = a3[0] + a3[1];
}

double NormalisedAt(const EvenOddSpeech& s, int delay, double corr) {
    const double* past = s.Past(delay);
    double energy = 0.01;
    for (int m = 0; m < kHalf; ++m) {
        energy += past[m] * past[m];
    }
    return corr / std::sqrt(energy);
}

struct Peak {
    int delay;
    double corr;
};

// Delays from..to (a whole number of groups of four) in steps of `step`; the
// first of equal maxima wins.
Peak BestDelay(const EvenOddSpeech& s, int from, int to, int step) {
    Peak p{from, -1e38};
    for (int t = from; t <= to; t += 4 * step) {
        double c[4];
        EvenCorrelation4(s, t, step, c);
        for (int j = 0; j < 4; ++j) {
            if (c[j] > p.corr) {
                p = {t + j * step, c[j]};
            }
        }
    }
    return p;
}

}  // namespace

int OpenLoopPitch(const double* wsp) {
    const EvenOddSpeech s(wsp);
    const Peak p1 = BestDelay(s, 20, 39, 1);
    const Peak p2 = BestDelay(s, 40, 79, 1);
    Peak p3 = BestDelay(s, 80, 142, 2);
    const int even = p3.delay;
    const double above = EvenCorrelation(s, even + 1);
    if (above > p3.corr) {
        p3 = {even + 1, above};
    }
    const double below = EvenCorrelation(s, even - 1);
    if (below > p3.corr) {
        p3 = {even - 1, below};
    }

    int t1 = p1.delay;
    const int t2 = p2.delay;
    const int t3 = p3.delay;
    double n1 = NormalisedAt(s, t1, p1.corr);
    double n2 = NormalisedAt(s, t2, p2.corr);
    const double n3 = NormalisedAt(s, t3, p3.corr);

    // Favour submultiples so that a pitch double or triple the true one loses.
    if (std::abs(2 * t2 - t3) < 5) {
        n2 += 0.25 * n3;
    }
    if (std::abs(3 * t2 - t3) < 7) {
        n2 += 0.25 * n3;
    }
    if (std::abs(2 * t1 - t2) < 5) {
        n1 += 0.2 * n2;
    }
    if (std::abs(3 * t1 - t2) < 7) {
        n1 += 0.2 * n2;
    }
    if (n1 < n2) {
        n1 = n2;
        t1 = t2;
    }
    return n3 > n1 ? t3 : t1;
}

namespace {

// The delays tmin .. tmin + width, shifted as a whole to stay inside the
// pitch range.
PitchRange RangeFrom(int tmin, int width) {
    PitchRange r{tmin, 0};
    if (r.tmin < kPitchMin) {
        r.tmin = kPitchMin;
    }
    r.tmax = r.tmin + width;
    if (r.tmax > kPitchMax) {
        r.tmax = kPitchMax;
        r.tmin = kPitchMax - width;
    }
    return r;
}

}  // namespace

PitchRange FirstSubframeRange(int openLoop) {
    return RangeFrom(openLoop - 3, 6);
}

PitchRange SecondSubframeRange(int t1) {
    return RangeFrom(t1 - 5, 9);
}

int CodePitchDelay1(int t, int frac) {
    return t <= 85 ? 3 * t - 58 + frac : t + 112;
}

int CodePitchDelay2(int t, int frac, int tmin) {
    return 3 * (t - tmin) + frac + 2;
}

void BackwardFilter(const double x[kSubframeLen], const double h[kSubframeLen],
                    double d[kSubframeLen]) {
    // Outputs in pairs (n + 1, n) from h with a zero in front, which makes the
    // first term of output n + 1 vanish; each sum still runs from i = n up.
    // Two pairs at a time share the loads of x.
    double hp[1 + kSubframeLen];
    hp[0] = 0.0;
    for (int i = 0; i < kSubframeLen; ++i) {
        hp[1 + i] = h[i];
    }
    for (int n = 0; n < kSubframeLen; n += 4) {
        // Outputs n + 2 and n + 3 start two terms later.
        Pair lo = Both(x[n]) * LoadPair(hp);
        lo += Both(x[n + 1]) * LoadPair(hp + 1);
        Pair hi = {0.0, 0.0};
        for (int i = n + 2; i < kSubframeLen; ++i) {
            const Pair xi = Both(x[i]);
            lo += xi * LoadPair(hp + i - n);
            hi += xi * LoadPair(hp + i - n - 2);
        }
        d[n] = lo[1];
        d[n + 1] = lo[0];
        d[n + 2] = hi[1];
        d[n + 3] = hi[0];
    }
}

namespace {

double Score(const double d[kSubframeLen], const double* v) {
    // Two partial sums of pairs, so that the additions overlap.
    Pair s0 = {0.1, 0.0};
    Pair s1 = {0.0, 0.0};
    for (int n = 0; n < kSubframeLen; n += 4) {
        s0 += LoadPair(d + n) * LoadPair(v + n);
        s1 += LoadPair(d + n + 2) * LoadPair(v + n + 2);
    }
    const Pair s = s0 + s1;
    return s[0] + s[1];
}

static_assert(kSubframeLen % 4 == 0);

}  // namespace

int ClosedLoopPitch(double* exc, const double d[kSubframeLen], PitchRange range, bool firstSubframe,
                    int* frac) {
    double best = -1e38;
    int t0 = range.tmin;
    for (int t = range.tmin; t <= range.tmax; ++t) {
        // For t below 40 this reads the current subframe, which still holds the
        // LP residual.
        const double r = Score(d, exc - t);
        if (r > best) {
            best = r;
            t0 = t;
        }
    }

    *frac = 0;
    AdaptiveCodebookVector(exc, t0, 0);
    best = Score(d, exc);
    if (firstSubframe && t0 > 84) {
        return t0;
    }

    double kept[kSubframeLen];
    for (int n = 0; n < kSubframeLen; ++n) {
        kept[n] = exc[n];
    }
    AdaptiveCodebookVector(exc, t0, -1);
    double r = Score(d, exc);
    if (r > best) {
        best = r;
        *frac = -1;
        for (int n = 0; n < kSubframeLen; ++n) {
            kept[n] = exc[n];
        }
    }
    AdaptiveCodebookVector(exc, t0, 1);
    r = Score(d, exc);
    if (r > best) {
        *frac = 1;
    } else {
        for (int n = 0; n < kSubframeLen; ++n) {
            exc[n] = kept[n];
        }
    }
    return t0;
}

bool TamingNeeded(const double err[4], int t, int frac) {
    constexpr double kThreshold = 60000.0;
    const int t1 = frac > 0 ? t + 1 : t;
    const int from = t1 > 50 ? (t1 - 50) / kSubframeLen : 0;
    const int to = (t1 + 8) / kSubframeLen;
    double worst = -1.0;
    for (int i = from; i <= to; ++i) {
        if (err[i] > worst) {
            worst = err[i];
        }
    }
    return worst > kThreshold;
}

void UpdateTaming(double err[4], int t, double gainPitch) {
    double worst = -1.0;
    if (t < kSubframeLen) {
        const double a = 1.0 + gainPitch * err[0];
        if (a > worst) {
            worst = a;
        }
        const double b = 1.0 + gainPitch * a;
        if (b > worst) {
            worst = b;
        }
    } else {
        for (int i = (t - kSubframeLen) / kSubframeLen; i <= (t - 1) / kSubframeLen; ++i) {
            const double a = 1.0 + gainPitch * err[i];
            if (a > worst) {
                worst = a;
            }
        }
    }
    err[3] = err[2];
    err[2] = err[1];
    err[1] = err[0];
    err[0] = worst;
}

}  // namespace kestrona::codec::enc
