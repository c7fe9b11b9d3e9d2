#include "codec/pcm.h"

namespace kestrona::codec {

void PcmFromDoubles(const double* in, int16_t* out, int n) {
    for (int i = 0; i < n; ++i) {
        out[i] = PcmFromDouble(in[i]);
    }
}

}  // namespace kestrona::codec
