// Signal-processing routines used by both halves of the G.729 Annex A codec.
// They keep no state of their own: every memory is passed in, so the encoder
// and the decoder can call them from two threads at once.
#pragma once

#include "codec/g729.h"

namespace kestrona::codec {

inline constexpr int kLpOrder = 10;             // M
inline constexpr int kLpCoeffs = kLpOrder + 1;  // a[0] = 1, a[1..10]
inline constexpr int kSubframeLen = 40;
inline constexpr int kPitchMin = 20;
inline constexpr int kPitchMax = 143;
inline constexpr int kInterpLen = 10;  // half-length of the b30 interpolation filter

// 1/A(z): y[n] = x[n] - sum_{i=1..10} a[i]*y[n-i] for n = 0..len-1.
// mem[i] holds y[i-10] (oldest first). When updateMem is set, mem receives the
// last ten outputs. x and y may be the same array.
void LpSynthesis(const double a[kLpCoeffs], const double* x, double* y, int len,
                 double mem[kLpOrder], bool updateMem);

// A(z): y[n] = x[n] + sum_{i=1..10} a[i]*x[n-i] for n = 0..len-1; x[-10..-1]
// are read from the signal itself, so x must have ten valid samples before it.
// y must not overlap x.
void LpResidual(const double a[kLpCoeffs], const double* x, double* y, int len);

// The second-order pole-zero filter of the pre- and post-processing, in place:
// y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] + a1 y[n-1] + a2 y[n-2] (a as the
// tables hold it); mem = x[n-1], x[n-2], y[n-1], y[n-2], carried over.
void SecondOrderFilter(const double b[3], const double a[3], double mem[4], double* x, int n);

// A(z/gamma): out[i] = a[i]*gamma^i. out may equal a.
void WeightCoefficients(const double a[kLpCoeffs], double gamma, double out[kLpCoeffs]);

// LSPs (cosine domain, decreasing) to the 11 LP coefficients.
void LspToLp(const double lsp[kLpOrder], double a[kLpCoeffs]);

// Subframe 1 gets the filter of the mean of prevLsp and lsp, subframe 2 that of lsp:
// a[0..10] and a[11..21].
void InterpolateLsp(const double prevLsp[kLpOrder], const double lsp[kLpOrder],
                    double a[2 * kLpCoeffs]);

// Adaptive-codebook vector at delay t + frac/3 (frac in -1..1), written in place
// over exc[0..len-1]; exc must have t + 11 valid past samples before it. Later
// samples see the ones just written, which is how delays below len repeat.
void AdaptiveCodebookVector(double* exc, int t, int frac, int len = kSubframeLen);

// The LSF predictor memory: the last four quantiser outputs (first-plus-second
// stage vectors), newest first.
using LsfPredictorMemory = double[4][kLpOrder];

// Rearranges pairs (j-1, j) for j = first..last so that neighbours stay at least
// gap apart (each pair moved once, symmetrically).
void RearrangeLsf(double b[kLpOrder], int first, int last, double gap);

// (lsf - MA prediction) / predictor sum: what the two stages must quantise for
// the given mode.
void LsfPredictionTarget(int mode, const LsfPredictorMemory mem, const double lsf[kLpOrder],
                         double target[kLpOrder]);

// Drops the oldest row and makes `newest` row 0.
void ShiftLsfPredictor(LsfPredictorMemory mem, const double newest[kLpOrder]);

// Orders the LSFs, keeps the first above 0.005 rad, neighbours 0.0392 rad apart
// and the last below 3.135 rad. Moving an end value counts in `warnings` and,
// if it says so, writes a warning line to standard output.
void StabiliseLsf(double lsf[kLpOrder], LspWarnings& warnings);

// Rebuilds the quantised LSFs (radians) from predictor mode and the L1, L2, L3
// rows, shifts the predictor memory and applies StabiliseLsf.
void ReconstructLsf(int mode, int l1, int l2, int l3, LsfPredictorMemory mem, double lsf[kLpOrder],
                    LspWarnings& warnings);

// lsp[i] = cos(lsf[i]).
void LsfToLsp(const double lsf[kLpOrder], double lsp[kLpOrder]);

}  // namespace kestrona::codec
