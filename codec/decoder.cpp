#include "codec/decoder.h"

#include <algorithm>
#include <cstring>

#include "codec/gain_common.h"
#include "codec/lpc_common.h"
#include "codec/pcm.h"
#include "codec/tables.h"

namespace kestrona::codec {

namespace {

constexpr double kSharpMin = 0.2;
constexpr double kSharpMax = 0.7945;
constexpr int kSubframe = kSubframeLen;
constexpr int kFrame = kFrameSamples;
constexpr int kExcHistory = G729DecoderState::kExcHistory;

// Lost frame: the LSFs of the last good frame are reused, and the predictor
// memory is fed with the first-plus-second-stage vector that would have
// produced them, so the frames after the loss predict from a consistent past.
void ConcealLsf(G729DecoderState& st, double lsf[kLpOrder]) {
    std::memcpy(lsf, st.last_good_lsf, sizeof(st.last_good_lsf));
    double b[kLpOrder];
    LsfPredictionTarget(st.last_predictor, st.lsf_pred_mem, lsf, b);
    ShiftLsfPredictor(st.lsf_pred_mem, b);
}

// Lost subframe: the energy memory decays 4 dB below its average, but not
// under the level of silence.
void ConcealGainMemory(double past_qua_en[4]) {
    double e = 0.25 * (past_qua_en[0] + past_qua_en[1] + past_qua_en[2] + past_qua_en[3]) - 4.0;
    if (e < -14.0) {
        e = -14.0;
    }
    past_qua_en[3] = past_qua_en[2];
    past_qua_en[2] = past_qua_en[1];
    past_qua_en[1] = past_qua_en[0];
    past_qua_en[0] = e;
}

void AdvanceLastDelay(G729DecoderState& st) {
    st.last_delay = std::min(st.last_delay + 1, kPitchMax);
}

}  // namespace

void BuildCodeVector(int32_t positions, int32_t signs, double code[kSubframe]) {
    std::fill(code, code + kSubframe, 0.0);
    const int c = positions;
    const int pos[4] = {
        5 * (c & 7),
        5 * ((c >> 3) & 7) + 1,
        5 * ((c >> 6) & 7) + 2,
        5 * ((c >> 10) & 7) + ((c >> 9) & 1) + 3,
    };
    for (int k = 0; k < 4; ++k) {
        code[pos[k]] = ((signs >> k) & 1) ? 1.0 : -1.0;
    }
}

void DecoderInit(G729DecoderState& st) {
    std::fill(std::begin(st.synth), std::begin(st.synth) + kLpOrder, 0.0);
    std::fill(std::begin(st.exc), std::begin(st.exc) + kExcHistory, 0.0);
    std::fill(std::begin(st.synth_mem), std::end(st.synth_mem), 0.0);
    for (auto& row : st.lsf_pred_mem) {
        std::memcpy(row, kLsfReset, sizeof(row));
    }
    std::memcpy(st.last_good_lsf, kLsfReset, sizeof(st.last_good_lsf));
    st.last_predictor = 0;
    st.pitch_sharp = kSharpMin;
    st.last_delay = 60;
    st.pitch_gain = 0.0;
    st.code_gain = 0.0;
    std::fill(std::begin(st.pf_res), std::end(st.pf_res), 0.0);
    std::fill(std::begin(st.pf_synth_mem), std::end(st.pf_synth_mem), 0.0);
    std::fill(std::begin(st.pp_mem), std::end(st.pp_mem), 0.0);
    st.lsp_warnings.low = 0;
    st.lsp_warnings.high = 0;
}

void DecodeSynthesis(G729DecoderState& st, DecodedFrame& out) {
    const int32_t* prm = st.params;
    const int bad = prm[0] != 0 ? 1 : 0;
    const int parity_error = prm[1 + kParamP0] != 0 ? 1 : 0;

    // LSPs of this frame.
    double lsf[kLpOrder];
    if (!bad) {
        const int p0 = prm[1 + kParamLsp1];
        const int p1 = prm[1 + kParamLsp2];
        const int mode = (p0 >> 7) & 1;
        ReconstructLsf(mode, p0 & 127, (p1 >> 5) & 31, p1 & 31, st.lsf_pred_mem, lsf,
                       st.lsp_warnings);
        std::memcpy(st.last_good_lsf, lsf, sizeof(lsf));
        st.last_predictor = mode;
    } else {
        ConcealLsf(st, lsf);
    }
    double lsp[kLpOrder];
    LsfToLsp(lsf, lsp);
    InterpolateLsp(st.prev_lsp, lsp, out.a);
    std::memcpy(st.prev_lsp, lsp, sizeof(lsp));

    double code[kSubframe];
    for (int s = 0; s < 2; ++s) {
        int t;
        int frac;
        if (s == 0) {
            if (bad + parity_error == 0) {
                const int p = prm[1 + kParamP1] & 255;  // keeps T within the excitation history
                if (p < 197) {
                    t = (p + 2) / 3 + 19;
                    frac = p - 3 * t + 58;
                } else {
                    t = p - 112;
                    frac = 0;
                }
                st.last_delay = t;
            } else {
                t = st.last_delay;
                frac = 0;
                AdvanceLastDelay(st);
            }
        } else {
            if (!bad) {
                int tmin = std::max(out.delay[0] - 5, kPitchMin);
                if (tmin + 9 > kPitchMax) {
                    tmin = kPitchMax - 9;
                }
                const int p = prm[1 + kParamP2] & 31;
                const int i = (p + 2) / 3 - 1;
                t = tmin + i;
                frac = p - 2 - 3 * i;
                st.last_delay = t;
            } else {
                t = st.last_delay;
                frac = 0;
                AdvanceLastDelay(st);
            }
        }
        out.delay[s] = t;

        double* u = st.exc + kExcHistory + s * kSubframe;
        AdaptiveCodebookVector(u, t, frac);

        int32_t positions;
        int32_t signs;
        if (bad) {
            positions = NextRandom(st.seed) & 0x1fff;
            signs = NextRandom(st.seed) & 0x000f;
        } else {
            positions = prm[1 + (s == 0 ? kParamC1 : kParamC2)];
            signs = prm[1 + (s == 0 ? kParamS1 : kParamS2)];
        }
        BuildCodeVector(positions, signs, code);
        if (t < kSubframe) {
            for (int n = t; n < kSubframe; ++n) {
                code[n] += st.pitch_sharp * code[n - t];
            }
        }

        if (bad) {
            st.pitch_gain = std::min(0.9 * st.pitch_gain, 0.9);
            st.code_gain *= 0.98;
            ConcealGainMemory(st.past_qua_en);
        } else {
            const int g = prm[1 + (s == 0 ? kParamGain1 : kParamGain2)];
            const int i = kGainInvMapA[(g >> 4) & 7];
            const int j = kGainInvMapB[g & 15];
            st.pitch_gain = kGainCbA[i][0] + kGainCbB[j][0];
            const double gamma = kGainCbA[i][1] + kGainCbB[j][1];
            st.code_gain = gamma * PredictCodeGain(st.past_qua_en, code);
            UpdateGainMemory(st.past_qua_en, i, j);
        }

        st.pitch_sharp = std::clamp(st.pitch_gain, kSharpMin, kSharpMax);

        for (int n = 0; n < kSubframe; ++n) {
            u[n] = st.pitch_gain * u[n] + st.code_gain * code[n];
        }
        LpSynthesis(out.a + s * kLpCoeffs, u, st.synth + kLpOrder + s * kSubframe, kSubframe,
                    st.synth_mem, true);
    }

    std::memmove(st.exc, st.exc + kFrame, kExcHistory * sizeof(double));
}

void DecodeParams(G729DecoderState& st, const int32_t params[kParamCount], int bad_frame,
                  int16_t pcm[kFrame]) {
    st.params[0] = bad_frame;
    std::memcpy(st.params + 1, params, kParamCount * sizeof(int32_t));
    DecodedFrame frame;
    DecodeSynthesis(st, frame);
    PostFilter(st, frame);
    double* x = st.synth + kLpOrder;
    PostProcess(st, x, kFrame);
    PcmFromDoubles(x, pcm, kFrame);
}

void DecodeFrame(G729DecoderState& st, const uint8_t frame[10], int16_t pcm[kFrame],
                 int bad_frame) {
    int32_t params[kParamCount];
    st.unpacker.Unpack(frame, params);
    params[kParamP0] = PitchParityCheck(params[kParamP1], params[kParamP0]);
    DecodeParams(st, params, bad_frame, pcm);
}

}  // namespace kestrona::codec
