// The synthesis half of the G.729 Annex A codec: frame decoding with
// concealment, the Annex A post-filter and the output high-pass filter.
#pragma once

#include <cstdint>

#include "codec/bitstream.h"
#include "codec/g729.h"
#include "codec/lpc_common.h"

// Every field that a decoded frame depends on. A default-constructed object
// holds the load-time values; DecoderInit() brings it to the reset values of
// a new call, leaving the fields that carry over from the previous call.
struct G729DecoderState {
    static constexpr int kOrder = kestrona::codec::kLpOrder;
    static constexpr int kFrame = kestrona::codec::kFrameSamples;
    static constexpr int kSubframe = kestrona::codec::kSubframeLen;
    static constexpr int kPitchMax = kestrona::codec::kPitchMax;
    // Past excitation the adaptive codebook reads: the longest delay plus the
    // interpolation filter's reach.
    static constexpr int kExcHistory = kPitchMax + kestrona::codec::kInterpLen + 1;

    // Word 0: bad-frame flag; words 1..11: the frame's parameters, with the
    // P0 word replaced by the parity check (0 = correct).
    int32_t params[1 + kestrona::codec::kParamCount] = {};

    // Last 10 synthesised samples of the previous frame (before post-filter),
    // then the current frame.
    double synth[kOrder + kFrame] = {};
    double exc[kExcHistory + kFrame] = {};
    double synth_mem[kOrder] = {};

    // Survives an init.
    double prev_lsp[kOrder] = {0.9595,  0.8413,  0.6549,  0.4154,  0.1423,
                               -0.1423, -0.4154, -0.6549, -0.8413, -0.9595};
    double lsf_pred_mem[4][kOrder] = {};  // newest first
    double last_good_lsf[kOrder] = {};
    int last_predictor = 0;

    double pitch_sharp = 0.0;
    int last_delay = 0;
    double pitch_gain = 0.0;
    double code_gain = 0.0;
    double past_qua_en[4] = {-14.0, -14.0, -14.0, -14.0};  // survives an init
    uint16_t seed = 21845;                                 // survives an init

    double pf_res[kPitchMax + kSubframe] = {};
    double pf_synth_mem[kOrder] = {};
    double tilt_mem = 0.0;  // survives an init
    double agc_gain = 1.0;  // survives an init

    double pp_mem[4] = {};  // x[n-1], x[n-2], y[n-1], y[n-2]

    kestrona::codec::BitUnpacker unpacker;  // survives an init

    // Counted since the last init; whether they are printed survives it.
    kestrona::codec::LspWarnings lsp_warnings;
};

namespace kestrona::codec {

// Output of the frame decoder that the post-filter consumes.
struct DecodedFrame {
    double a[2 * kLpCoeffs];  // interpolated LP filters of subframes 1 and 2
    int delay[2];             // integer pitch delays actually used
};

void DecoderInit(G729DecoderState& st);

// Unpacks, decodes, post-filters and post-processes one frame.
void DecodeFrame(G729DecoderState& st, const uint8_t frame[10], int16_t pcm[kFrameSamples],
                 int bad_frame);

// Same, from a parameter vector instead of a coded frame; params[3] must hold
// the parity-check result, not P0.
void DecodeParams(G729DecoderState& st, const int32_t params[kParamCount], int bad_frame,
                  int16_t pcm[kFrameSamples]);

// The three stages, exposed for tests.
void DecodeSynthesis(G729DecoderState& st, DecodedFrame& out);
void PostFilter(G729DecoderState& st, const DecodedFrame& frame);
void PostProcess(G729DecoderState& st, double* x, int n);

// Algebraic code vector (before pitch sharpening) from position and sign
// indices.
void BuildCodeVector(int32_t positions, int32_t signs, double code[kSubframeLen]);

// Next value of the lost-frame generator.
inline uint16_t NextRandom(uint16_t& seed) {
    seed = static_cast<uint16_t>(seed * 31821u + 13849u);
    return seed;
}

}  // namespace kestrona::codec
