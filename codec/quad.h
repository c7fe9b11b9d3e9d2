// Four doubles in one register, for processors with AVX2, chosen at run time.
// The loops that use them make four independent outputs or partial sums at
// once, each with exactly the operations and order of their two-wide
// counterparts (double_pair.h), so both give the same bits.
#pragma once

#include <cstring>

namespace kestrona::codec {

#if defined(__x86_64__)
#define KESTRONA_CODEC_QUADS 1

typedef double Quad __attribute__((vector_size(32)));

// Whether the functions that use Quad run: set when the processor has AVX2.
// Tests clear it to check the two-wide paths; nothing else writes it.
extern bool g_use_quads;

// p[0..3]; p need not be aligned.
__attribute__((target("avx2"))) inline Quad LoadQuad(const double* p) {
    Quad v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

__attribute__((target("avx2"))) inline void StoreQuad(double* p, Quad v) {
    std::memcpy(p, &v, sizeof v);
}

__attribute__((target("avx2"))) inline Quad AllFour(double v) {
    return Quad{v, v, v, v};
}
#endif

}  // namespace kestrona::codec
