// Conjugate-structure gain quantiser with pre-selection (7 bits per subframe).
#include "codec/encoder_internal.h"
#include "codec/gain_common.h"
#include "codec/tables.h"

namespace kestrona::codec::enc {

GainResult QuantiseGains(const double code[kSubframeLen], const double g[5], bool taming,
                         const double pastEnergy[4]) {
    constexpr double kPreselScale = -0.032623;
    constexpr double kTamedTarget = 0.94;
    constexpr double kTamedLimit = 0.9999;

    const double gc0 = PredictCodeGain(pastEnergy, code);

    // Unconstrained optimum of the two gains, which steers the pre-selection.
    const double t = -1.0 / (4.0 * g[0] * g[2] - g[4] * g[4]);
    double gpOpt = (2.0 * g[2] * g[1] - g[3] * g[4]) * t;
    const double gcOpt = (2.0 * g[0] * g[3] - g[1] * g[4]) * t;
    if (taming && gpOpt > kTamedTarget) {
        gpOpt = kTamedTarget;
    }

    const auto& k = kGainPreselCoef;
    const double x = (gcOpt - (k[0][0] * gpOpt + k[1][1]) * gc0) * kPreselScale;
    const double y = (k[1][0] * (gpOpt * k[0][0] - k[0][1]) * gc0 - k[0][0] * gcOpt) * kPreselScale;
    int cand1 = 0;
    while (cand1 < 4 && y > kGainThresholdA[cand1] * gc0) {
        ++cand1;
    }
    int cand2 = 0;
    while (cand2 < 8 && x > kGainThresholdB[cand2] * gc0) {
        ++cand2;
    }

    // Start from the first pre-selected pair so that a result is defined even if
    // every score is NaN.
    int bestA = cand1;
    int bestB = cand2;
    double bestE = 1e38;
    for (int i = cand1; i < cand1 + 4; ++i) {
        for (int j = cand2; j < cand2 + 8; ++j) {
            const double gp = kGainCbA[i][0] + kGainCbB[j][0];
            if (taming && gp >= kTamedLimit) {
                continue;
            }
            const double gc = gc0 * (kGainCbA[i][1] + kGainCbB[j][1]);
            const double e =
                gp * gp * g[0] + gp * g[1] + gc * gc * g[2] + gc * g[3] + gp * gc * g[4];
            if (e < bestE) {
                bestE = e;
                bestA = i;
                bestB = j;
            }
        }
    }

    GainResult r;
    r.gainPitch = kGainCbA[bestA][0] + kGainCbB[bestB][0];
    r.gamma = kGainCbA[bestA][1] + kGainCbB[bestB][1];
    r.gainCode = gc0 * r.gamma;
    r.index = kGainMapA[bestA] * 16 + kGainMapB[bestB];
    r.rowA = bestA;
    r.rowB = bestB;
    return r;
}

}  // namespace kestrona::codec::enc
