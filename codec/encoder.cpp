#include "codec/encoder.h"

#include "codec/encoder_internal.h"
#include "codec/tables.h"

namespace kestrona::codec {

namespace {

template <typename T, int N>
void Fill(T (&a)[N], T v) {
    for (T& x : a) {
        x = v;
    }
}

template <typename T, int N>
void ShiftDown(T (&a)[N], int by) {
    for (int i = 0; i + by < N; ++i) {
        a[i] = a[i + by];
    }
}

}  // namespace

void EncoderInit(G729EncoderState& st) {
    // prev_lsp, past_qua_en and the packer carry over from the previous call.
    Fill(st.speech, 0.0);
    Fill(st.wsp, 0.0);
    Fill(st.exc, 0.0);
    Fill(st.weight_mem, 0.0);
    Fill(st.target_mem, 0.0);
    Fill(st.zero_mem, 0.0);
    for (int i = 0; i < kLpOrder; ++i) {
        st.prev_lsp_q[i] = st.prev_lsp[i];
        for (int k = 0; k < 4; ++k) {
            st.lsf_pred_mem[k][i] = kLsfReset[i];
        }
    }
    st.pitch_sharp = 0.2;
    Fill(st.taming_err, 1.0);
    Fill(st.pre_mem, 0.0);
    st.lsp_warnings.low = 0;
    st.lsp_warnings.high = 0;
}

void EncodeToParams(G729EncoderState& st, const int16_t pcm[kFrameSamples],
                    int32_t params[kParamCount]) {
    double* fresh = st.speech + G729EncoderState::kNewSpeechStart;
    for (int n = 0; n < kFrameSamples; ++n) {
        fresh[n] = pcm[n];
    }
    enc::PreProcess(st.pre_mem, fresh, kFrameSamples);

    double aq[2 * kLpCoeffs];
    double aw[2 * kLpCoeffs];
    enc::AnalyseFrame(st, params, aq, aw);
    enc::SearchExcitation(st, aw, params);

    ShiftDown(st.speech, kFrameSamples);
    ShiftDown(st.wsp, kFrameSamples);
    ShiftDown(st.exc, kFrameSamples);
}

}  // namespace kestrona::codec
