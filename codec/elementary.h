// Cosine, arc cosine and exponential for the codec's few uses, within an ulp
// or two of the correctly rounded value. The codec carries its own so that
// kestrona-codec, which starts afresh for every file it codes, needs no maths
// library besides the C library: one shared object less to map and bind at
// each start. Being inline, they also vectorise with the loops that call them.
#pragma once

#include <bit>
#include <cstdint>

namespace kestrona::codec {

namespace elementary_detail {

// Series in z = y*y of sin(y)/y - 1 (terms 1/3! ... 1/23!): for |y| <= pi/2
// the first term left out is below 1e-20.
inline double SinOverY(double z) {
    double p = -3.868170170630684e-23;
    p = p * z + 1.9572941063391263e-20;
    p = p * z + -8.22063524662433e-18;
    p = p * z + 2.8114572543455206e-15;
    p = p * z + -7.647163731819816e-13;
    p = p * z + 1.6059043836821613e-10;
    p = p * z + -2.505210838544172e-08;
    p = p * z + 2.7557319223985893e-06;
    p = p * z + -0.0001984126984126984;
    p = p * z + 0.008333333333333333;
    p = p * z + -0.16666666666666666;
    return p * z;
}

// asin(t) for |t| <= 0.5, from its series; the terms left out sum to less
// than 1e-18.
inline double AsinSmall(double t) {
    static constexpr double kC[] = {
        0.0020776610325181676,
        0.0022014739737101384,
        0.002338091892111975,
        0.0024894486782468836,
        0.00265787063820729,
        0.002846178401108942,
        0.0030578216492580306,
        0.003297059503473485,
        0.0035692053938259347,
        0.003880964558837669,
        0.004240907093679363,
        0.004660143486915096,
        0.005153309682319905,
        0.005740037670841924,
        0.006447210311889649,
        0.0073125258735988454,
        0.008390335809616815,
        0.009761609529194078,
        0.011551800896139705,
        0.01396484375,
        0.017352764423076924,
        0.022372159090909092,
        0.030381944444444444,
        0.044642857142857144,
        0.075,
        0.16666666666666666,
    };
    const double z = t * t;
    double p = 0.0;
    for (double c : kC) {
        p = p * z + c;
    }
    return t + t * (z * p);
}

// pi in three parts: the first two have short mantissas, so m * part is
// exact for the multiples the reductions use.
constexpr double kPi1 = 0x1.921fb54p+1;
constexpr double kPi2 = 0x1.10b46118p-29;
constexpr double kPi3 = 0x1.313198a2e037p-60;
constexpr double kPiHi = 0x1.921fb54442d18p+1;
constexpr double kPiLo = 1.2246467991473532e-16;
constexpr double kHalfPiHi = 0x1.921fb54442d18p+0;
constexpr double kHalfPiLo = 6.123233995736766e-17;

}  // namespace elementary_detail

// cos(x) for |x| below 2^20 (line spectral frequencies lie in 0..pi); NaN
// beyond. Without branches, so that a loop of them vectorises.
inline double Cosine(double x) {
    using namespace elementary_detail;
    const double q = x * (1.0 / kPiHi);
    const bool inside = q > -1048576.0 && q < 1048576.0;
    // cos(x) = -sin(y + k pi) = (-1)^(k+1) sin(y), y = x - (k + 1/2) pi in
    // [-pi/2, pi/2], with k = floor(x / pi).
    const int32_t k = static_cast<int32_t>((inside ? q : 0.0) + 1048576.0) - 1048576;
    const double m = static_cast<double>(k) + 0.5;
    const double y = ((x - m * kPi1) - m * kPi2) - m * kPi3;
    const double s = y + y * SinOverY(y * y);
    const double r = (k & 1) != 0 ? s : -s;
    return inside ? r : __builtin_nan("");
}

// acos(x) for x in [-1, 1]; NaN outside.
inline double ArcCosine(double x) {
    using namespace elementary_detail;
    if (x >= -0.5 && x <= 0.5) {
        return kHalfPiHi - (AsinSmall(x) - kHalfPiLo);
    }
    // Half-angle: acos(x) = 2 asin(sqrt((1 - x) / 2)); 1 - |x| is exact here.
    if (x > 0.5) {
        return 2.0 * AsinSmall(__builtin_sqrt((1.0 - x) * 0.5));
    }
    return kPiHi - (2.0 * AsinSmall(__builtin_sqrt((1.0 + x) * 0.5)) - kPiLo);
}

// e^x.
inline double Exponential(double x) {
    if (!(x > -745.2 && x < 709.78)) {
        return x != x ? x : (x > 0.0 ? __builtin_inf() : 0.0);
    }
    // e^x = 2^k e^r with |r| <= ln2 / 2; ln2 in two parts, the first short.
    constexpr double kLn2Hi = 0x1.62e42feep-1;
    constexpr double kLn2Lo = 1.9082149292705877e-10;
    const double kx = x * 1.4426950408889634;
    const int k = static_cast<int>(kx + (kx >= 0.0 ? 0.5 : -0.5));
    const double r = (x - k * kLn2Hi) - k * kLn2Lo;
    // e^r - 1 - r by its series to r^13 / 13!, as r^2 times a polynomial
    // of degree 11 evaluated in pairs of terms (r^2, r^4, r^8 apart), so
    // that its steps overlap instead of waiting on one another.
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double r8 = r4 * r4;
    const double q0 = 0.5 + r * 0.16666666666666666;
    const double q1 = 0.041666666666666664 + r * 0.008333333333333333;
    const double q2 = 0.001388888888888889 + r * 0.0001984126984126984;
    const double q3 = 2.48015873015873e-05 + r * 2.7557319223985893e-06;
    const double q4 = 2.755731922398589e-07 + r * 2.505210838544172e-08;
    const double q5 = 2.08767569878681e-09 + r * 1.6059043836821613e-10;
    const double p = (q0 + r2 * q1) + r4 * (q2 + r2 * q3) + r8 * (q4 + r2 * q5);
    const double e = 1.0 + (r + r * (r * p));
    // 2^k in two factors, each a double's bits, since k runs from -1075 to 1024.
    const int half = k / 2;
    const double s1 = std::bit_cast<double>(static_cast<uint64_t>(half + 1023) << 52);
    const double s2 = std::bit_cast<double>(static_cast<uint64_t>(k - half + 1023) << 52);
    return e * s1 * s2;
}

}  // namespace kestrona::codec
