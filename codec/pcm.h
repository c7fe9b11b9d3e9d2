// Conversions between 16-bit PCM and the codec's double-precision signals.
#pragma once

#include <cstdint>

namespace kestrona::codec {

// Rounds half away from zero and saturates to the 16-bit range.
inline int16_t PcmFromDouble(double x) {
    if (x != x) {
        return 0;  // NaN has no sample value; converting it would be undefined
    }
    double r = x >= 0.0 ? x + 0.5 : x - 0.5;
    r = r > 32767.0 ? 32767.0 : r;
    r = r < -32768.0 ? -32768.0 : r;
    return static_cast<int16_t>(r);  // truncation towards zero
}

// Exact, unscaled.
inline double DoubleFromPcm(int16_t s) {
    return static_cast<double>(s);
}

void PcmFromDoubles(const double* in, int16_t* out, int n);
void DoublesFromPcm(const int16_t* in, double* out, int n);

}  // namespace kestrona::codec
