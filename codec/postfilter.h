// Annex A post-filter pieces that tests reach directly.
#pragma once

#include "codec/lpc_common.h"

namespace kestrona::codec {

// Integer delay range searched by the long-term post-filter around the
// decoded delay t: [*tmin, *tmax].
inline void PostFilterDelayRange(int t, int* tmin, int* tmax) {
    int hi = t + 3;
    if (hi > 143) {
        hi = 143;
    }
    *tmax = hi;
    *tmin = hi - 6;
}

// Long-term post-filter over one 40-sample subframe of residual r (with 143
// past values before r[0]); writes q. Returns the chosen delay, or 0 when
// the filter was off.
int LongTermPostFilter(const double* r, int tmin, int tmax, double q[kSubframeLen]);

// Tilt factors mu of the two subframes' numerator/denominator pairs (11
// coefficients each).
void TiltFactors(const double num[2][11], const double den[2][11], double mu[2]);

// Adaptive gain control: scales z so that its energy follows that of the
// unfiltered subframe y, smoothing through *gain.
void AdaptiveGainControl(const double y[kSubframeLen], double z[kSubframeLen], double* gain);

}  // namespace kestrona::codec
