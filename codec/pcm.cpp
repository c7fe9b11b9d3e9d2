#include "codec/pcm.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrona::codec {

void PcmFromDoubles(const double* in, int16_t* out, int n) {
    int i = 0;
#if defined(__SSE2__)
    // Four samples per step in the steps of PcmFromDouble: NaN becomes 0,
    // then clamp, add a half away from zero, truncate. The compiler's own
    // vector form of the loop below spends twice the instructions on its
    // selects.
    const __m128d hi = _mm_set1_pd(32767.0);
    const __m128d lo = _mm_set1_pd(-32768.0);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d sign = _mm_set1_pd(-0.0);
    auto convert = [&](__m128d x) {
        x = _mm_and_pd(x, _mm_cmpord_pd(x, x));
        x = _mm_min_pd(_mm_max_pd(x, lo), hi);
        x = _mm_add_pd(x, _mm_or_pd(_mm_and_pd(x, sign), half));
        return _mm_cvttpd_epi32(x);
    };
    for (; i + 3 < n; i += 4) {
        const __m128i a = convert(_mm_loadu_pd(in + i));
        const __m128i b = convert(_mm_loadu_pd(in + i + 2));
        const __m128i v = _mm_unpacklo_epi64(a, b);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(v, v));
    }
#endif
    for (; i < n; ++i) {
        out[i] = PcmFromDouble(in[i]);
    }
}

}  // namespace kestrona::codec
