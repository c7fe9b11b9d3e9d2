// The encoder's individual steps, exposed so that tests can reach the decisions
// (tie-breaks, index coding, safeguards) without going through a whole frame.
#pragma once

#include <cstdint>

#include "codec/lpc_common.h"

struct G729EncoderState;

namespace kestrona::codec::enc {

inline constexpr double kGamma = 0.75;  // perceptual weighting factor

// --- Per-frame LP analysis ------------------------------------------------

// 140 Hz high-pass over x[0..n-1] in place; mem = x[-1], x[-2], y[-1], y[-2].
void PreProcess(double mem[4], double* x, int n);

// Windowed autocorrelation r[0..10] of the 240-sample speech buffer, r[0] >= 1.
void Autocorrelation(const double speech[240], double r[kLpOrder + 1]);

// Lag-windows r in place and solves for the LP coefficients.
void LagWindowLevinson(double r[kLpOrder + 1], double a[kLpCoeffs]);

// LP coefficients to LSPs by the Chebyshev root search; false when fewer than
// ten roots were found (lsp is then incomplete).
bool LpToLsp(const double a[kLpCoeffs], double lsp[kLpOrder]);

// Quantises the LSPs: writes parameters 0 and 1, the quantised LSPs, and shifts
// the predictor memory.
void QuantiseLsp(const double lsp[kLpOrder], LsfPredictorMemory mem, double lspQ[kLpOrder],
                 int32_t* param0, int32_t* param1, LspWarnings& warnings);

// Steps 1 to 8 of a frame on an already filled speech buffer; leaves the two
// quantised filters and their weighted forms for the excitation search.
void AnalyseFrame(G729EncoderState& st, int32_t* params, double aq[2 * kLpCoeffs],
                  double aw[2 * kLpCoeffs]);

// --- Excitation search ----------------------------------------------------

// Open-loop delay from the weighted speech; wsp points at the current frame and
// has 143 past values before it.
int OpenLoopPitch(const double* wsp);

struct PitchRange {
    int tmin;
    int tmax;
};
PitchRange FirstSubframeRange(int openLoop);
PitchRange SecondSubframeRange(int t1);

int CodePitchDelay1(int t, int frac);
int CodePitchDelay2(int t, int frac, int tmin);

// d[n] = sum_{i=n..39} x[i]*h[i-n].
void BackwardFilter(const double x[kSubframeLen], const double h[kSubframeLen],
                    double d[kSubframeLen]);

// Closed-loop delay in tmin..tmax; leaves the adaptive-codebook vector in
// exc[0..39] (exc points at the subframe inside the excitation buffer).
int ClosedLoopPitch(double* exc, const double d[kSubframeLen], PitchRange range, bool firstSubframe,
                    int* frac);

bool TamingNeeded(const double err[4], int t, int frac);
void UpdateTaming(double err[4], int t, double gainPitch);

struct AcelpResult {
    int positions[4];
    int signs[4];  // +1 or -1
    int positionIndex;
    int signIndex;
};

// Depth-first search of the 17-bit codebook for target x2 and the (already
// pitch-sharpened) impulse response h. Fills the unsharpened code vector and its
// filtered form y2.
AcelpResult AcelpSearch(const double x2[kSubframeLen], const double h[kSubframeLen],
                        double code[kSubframeLen], double y2[kSubframeLen]);

struct GainResult {
    double gainPitch;
    double gainCode;
    double gamma;  // quantised correction factor
    int index;     // GA index * 16 + GB index
    int rowA;      // the codebook rows behind index
    int rowB;
};

// g holds c0..c4; the code vector is the sharpened one.
GainResult QuantiseGains(const double code[kSubframeLen], const double g[5], bool taming,
                         const double pastEnergy[4]);

// Steps 1 to 10 of the excitation search with the weighted filters of both
// subframes: parameters 2..10 and state updates.
void SearchExcitation(G729EncoderState& st, const double aw[2 * kLpCoeffs], int32_t* params);

}  // namespace kestrona::codec::enc
