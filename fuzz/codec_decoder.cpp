// Feeds a stream of received frames to the speech decoder: each 11 bytes of
// input are a bad-frame flag and one coded frame. Whatever arrives, the
// decoder's memory must stay finite: one NaN or infinity there would turn
// every later frame of the call into noise or silence.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "codec/decoder.h"

namespace {

template <size_t N>
void CheckFinite(const double (&values)[N]) {
    for (double v : values) {
        if (!std::isfinite(v)) {
            std::abort();
        }
    }
}

void CheckState(const G729DecoderState& st) {
    CheckFinite(st.synth);
    CheckFinite(st.exc);
    CheckFinite(st.synth_mem);
    CheckFinite(st.prev_lsp);
    for (const auto& row : st.lsf_pred_mem) {
        CheckFinite(row);
    }
    CheckFinite(st.last_good_lsf);
    CheckFinite(st.past_qua_en);
    CheckFinite(st.pf_res);
    CheckFinite(st.pf_synth_mem);
    CheckFinite(st.pp_mem);
    if (!std::isfinite(st.pitch_gain) || !std::isfinite(st.code_gain) ||
        !std::isfinite(st.pitch_sharp) || !std::isfinite(st.tilt_mem) ||
        !std::isfinite(st.agc_gain)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrona::codec;
    constexpr size_t kStep = 1 + kFrameBytes;
    // A call's decoder starts from its reset values; inputs stay independent.
    static G729DecoderState st;
    st = G729DecoderState{};
    DecoderInit(st);
    int16_t pcm[kFrameSamples];
    for (size_t pos = 0; pos + kStep <= size; pos += kStep) {
        const int bad = data[pos] & 1;
        DecodeFrame(st, data + pos + 1, pcm, bad);
        CheckState(st);
    }
    return 0;
}
