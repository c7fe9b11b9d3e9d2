#include "codec/encoder.h"

#include "codec/tables.h"

namespace kestrona::codec {

void EncoderInit(G729EncoderState& st) {
    for (double& v : st.speech) {
        v = 0.0;
    }
    for (double& v : st.wsp) {
        v = 0.0;
    }
    for (double& v : st.exc) {
        v = 0.0;
    }
    for (int i = 0; i < kLpOrder; ++i) {
        st.weight_mem[i] = 0.0;
        st.target_mem[i] = 0.0;
        st.zero_mem[i] = 0.0;
        st.prev_lsp_q[i] = st.prev_lsp[i];
        for (int k = 0; k < 4; ++k) {
            st.lsf_pred_mem[k][i] = kLsfReset[i];
        }
    }
    st.pitch_sharp = 0.2;
    for (double& e : st.taming_err) {
        e = 1.0;
    }
    for (double& m : st.pre_mem) {
        m = 0.0;
    }
}

void EncodeToParams(G729EncoderState& st, const int16_t pcm[kFrameSamples],
                    int32_t params[kParamCount]) {
    (void)st;
    (void)pcm;
    for (int i = 0; i < kParamCount; ++i) {
        params[i] = 0;
    }
}

}  // namespace kestrona::codec
