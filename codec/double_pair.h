// Two doubles in one register, for the loops whose outputs or partial sums are
// independent. SSE2, which every x86-64 processor has, does the pair in one
// instruction; elsewhere the compiler splits it into two scalar operations.
#pragma once

#include <cstring>

namespace kestrona::codec {

typedef double Pair __attribute__((vector_size(16)));

inline Pair Both(double v) {
    return Pair{v, v};
}

// p[0], p[1]; p need not be aligned.
inline Pair LoadPair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// {v[1], v[0]}; both GCC and clang know this builtin.
inline Pair Swapped(Pair v) {
    return __builtin_shufflevector(v, v, 1, 0);
}

inline void StorePair(double* p, Pair v) {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace kestrona::codec
