// Conversions between 16-bit PCM and the codec's double-precision signals.
#pragma once

#include <cstdint>

namespace kestrona::codec {

// Rounds half away from zero and saturates to the 16-bit range.
inline int16_t PcmFromDouble(double x) {
    if (x != x) {
        return 0;  // NaN has no sample value; converting it would be undefined
    }
    // Clamping first gives the same result as clamping after the half is
    // added, since the limits are whole numbers and the cast truncates.
    double r = x < 32767.0 ? x : 32767.0;
    r = r > -32768.0 ? r : -32768.0;
    r += r >= 0.0 ? 0.5 : -0.5;
    return static_cast<int16_t>(r);
}

// Exact, unscaled.
inline double DoubleFromPcm(int16_t s) {
    return static_cast<double>(s);
}

void PcmFromDoubles(const double* in, int16_t* out, int n);

}  // namespace kestrona::codec
