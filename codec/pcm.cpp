#include "codec/pcm.h"

#include <cmath>

namespace kestrona::codec {

void PcmFromDoubles(const double* in, int16_t* out, int n) {
    // The same steps as PcmFromDouble, written without branches so that the
    // compiler converts several samples per instruction.
    for (int i = 0; i < n; ++i) {
        const double x = in[i];
        double r = x < 32767.0 ? x : 32767.0;
        r = r > -32768.0 ? r : -32768.0;
        r += std::copysign(0.5, r);
        const int32_t v = static_cast<int32_t>(r);
        out[i] = static_cast<int16_t>(x == x ? v : 0);
    }
}

}  // namespace kestrona::codec
