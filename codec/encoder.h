// The analysis half of the G.729 Annex A codec: pre-processing, LP analysis and
// LSP quantisation, then the excitation search (pitch, algebraic codebook, gains).
#pragma once

#include <cstdint>

#include "codec/bitstream.h"
#include "codec/g729.h"
#include "codec/lpc_common.h"

// Every field that the next coded frame depends on. A default-constructed object
// holds the load-time values; EncoderInit() brings it to the reset values of a
// new call, leaving the fields that carry over from the previous call.
struct G729EncoderState {
    static constexpr int kOrder = kestrona::codec::kLpOrder;
    static constexpr int kFrame = kestrona::codec::kFrameSamples;
    static constexpr int kSubframe = kestrona::codec::kSubframeLen;
    static constexpr int kPitchMax = kestrona::codec::kPitchMax;
    static constexpr int kWindow = 240;  // 120 past, 80 current, 40 look-ahead
    static constexpr int kSpeechFrameStart = 120;
    static constexpr int kNewSpeechStart = kWindow - kFrame;  // 160
    // Past excitation the adaptive codebook reads: the longest delay plus the
    // interpolation filter's reach.
    static constexpr int kExcHistory = kPitchMax + kestrona::codec::kInterpLen + 1;
    static constexpr int kWspHistory = kPitchMax;

    double speech[kWindow] = {};
    double wsp[kWspHistory + kFrame] = {};  // weighted speech
    double exc[kExcHistory + kFrame] =
        {};                          // current part holds the LP residual on entry to the search
    double weight_mem[kOrder] = {};  // 1/P(z) of the weighted speech
    double target_mem[kOrder] = {};  // 1/A(z/gamma) that forms the target
    double zero_mem[kOrder] = {};

    // Survives an init: unquantised LSPs of the previous frame.
    double prev_lsp[kOrder] = {0.9595,  0.8413,  0.6549,  0.4154,  0.1423,
                               -0.1423, -0.4154, -0.6549, -0.8413, -0.9595};
    double prev_lsp_q[kOrder] = {};
    double lsf_pred_mem[4][kOrder] = {};  // newest first

    double pitch_sharp = 0.0;
    double taming_err[4] = {};                             // newest first
    double past_qua_en[4] = {-14.0, -14.0, -14.0, -14.0};  // survives an init

    double pre_mem[4] = {};  // x[n-1], x[n-2], y[n-1], y[n-2]

    kestrona::codec::BitPacker packer;  // survives an init

    // Counted since the last init; whether they are printed survives it.
    kestrona::codec::LspWarnings lsp_warnings;
};

namespace kestrona::codec {

void EncoderInit(G729EncoderState& st);

// Converts, pre-processes and analyses one frame of 80 samples into the eleven
// parameters (packing is the caller's).
void EncodeToParams(G729EncoderState& st, const int16_t pcm[kFrameSamples],
                    int32_t params[kParamCount]);

}  // namespace kestrona::codec
