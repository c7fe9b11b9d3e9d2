#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/bitstream.h"
#include "codec/codec_test_util.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/tables.h"

namespace kestrona::codec {
namespace {

std::vector<int16_t> Speech() {
    auto s = testing::LoadSpeech("tests/data/speech_8k.wav");
    EXPECT_GE(s.size(), 8000u);
    return s;
}

using Frames = std::vector<std::array<int32_t, kParamCount>>;

Frames Encode(G729EncoderState& st, const std::vector<int16_t>& pcm, size_t frames) {
    Frames out(frames);
    for (size_t f = 0; f < frames; ++f) {
        EncodeToParams(st, &pcm[f * kFrameSamples], out[f].data());
    }
    return out;
}

TEST(EncoderState, LoadTimeAndResetValues) {
    auto st = std::make_unique<G729EncoderState>();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(st->prev_lsp[i], kLspInit[i]);
        EXPECT_EQ(st->prev_lsp_q[i], 0.0);
        EXPECT_EQ(st->lsf_pred_mem[0][i], 0.0);
    }
    EXPECT_EQ(st->pitch_sharp, 0.0);
    EXPECT_EQ(st->taming_err[0], 0.0);
    EXPECT_EQ(st->past_qua_en[3], -14.0);

    EncoderInit(*st);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(st->prev_lsp_q[i], kLspInit[i]);
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(st->lsf_pred_mem[k][i], kLsfReset[i]);
        }
    }
    EXPECT_EQ(st->pitch_sharp, 0.2);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(st->taming_err[i], 1.0);
        EXPECT_EQ(st->past_qua_en[i], -14.0);
    }
}

TEST(EncoderState, InitKeepsEnergiesAndPreviousLspsOfTheLastCall) {
    const auto pcm = Speech();
    auto st = std::make_unique<G729EncoderState>();
    EncoderInit(*st);
    const Frames firstCall = Encode(*st, pcm, 60);

    double lsp[10];
    double energies[4];
    std::memcpy(lsp, st->prev_lsp, sizeof lsp);
    std::memcpy(energies, st->past_qua_en, sizeof energies);
    EncoderInit(*st);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(st->prev_lsp[i], lsp[i]);
        EXPECT_EQ(st->prev_lsp_q[i], lsp[i]);
        EXPECT_EQ(st->lsf_pred_mem[3][i], kLsfReset[i]);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(st->past_qua_en[i], energies[i]);
        EXPECT_EQ(st->taming_err[i], 1.0);
    }
    EXPECT_NE(energies[0], -14.0);
    for (double v : st->speech) {
        ASSERT_EQ(v, 0.0);
    }
    for (double v : st->exc) {
        ASSERT_EQ(v, 0.0);
    }
    for (double v : st->wsp) {
        ASSERT_EQ(v, 0.0);
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(st->weight_mem[i], 0.0);
        EXPECT_EQ(st->target_mem[i], 0.0);
    }

    // The carried-over fields make the second call start differently...
    const Frames secondCall = Encode(*st, pcm, 60);
    EXPECT_NE(firstCall, secondCall);
    // ...while two inits in a row with nothing between change nothing.
    auto a = std::make_unique<G729EncoderState>();
    auto b = std::make_unique<G729EncoderState>();
    EncoderInit(*a);
    EncoderInit(*b);
    EncoderInit(*b);
    EXPECT_EQ(Encode(*a, pcm, 60), Encode(*b, pcm, 60));
}

TEST(EncoderState, SilenceAfterResetCodesTheRestingParameters) {
    auto st = std::make_unique<G729EncoderState>();
    EncoderInit(*st);
    const std::vector<int16_t> silence(5 * kFrameSamples, 0);
    ::testing::internal::CaptureStdout();
    const Frames frames = Encode(*st, silence, 5);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    // The first subframe sees no periodicity and a zero target: the lowest delay
    // with fraction 0, the earliest positions, all signs positive.
    EXPECT_EQ(frames[0][kParamP1], 2);
    EXPECT_EQ(frames[0][kParamP0], 1);
    EXPECT_EQ(frames[0][kParamC1], 0);
    EXPECT_EQ(frames[0][kParamS1], 15);
    // The least code gain still leaves a faint excitation; it must stay faint.
    for (double v : st->exc) {
        EXPECT_LT(std::fabs(v), 10.0);
    }
}

TEST(EncoderState, SpeechParametersStayWithinTheirWidths) {
    const auto pcm = Speech();
    auto st = std::make_unique<G729EncoderState>();
    EncoderInit(*st);
    const size_t frames = pcm.size() / kFrameSamples;
    const Frames out = Encode(*st, pcm, frames);
    int fractional = 0;
    int longDelays = 0;
    for (const auto& p : out) {
        for (int i = 0; i < kParamCount; ++i) {
            ASSERT_GE(p[i], 0) << i;
            ASSERT_LT(p[i], 1 << kParamBits[i]) << i;
        }
        EXPECT_EQ(p[kParamP0], PitchParity(p[kParamP1]));
        EXPECT_GE(p[kParamP1], 1);
        EXPECT_LE(p[kParamP2], 30);
        EXPECT_GE(p[kParamP2], 1);
        EXPECT_NE(p[kParamP1], 196);  // delay 85 never carries a fraction
        fractional += p[kParamP1] < 197 && p[kParamP1] % 3 != 2;
        longDelays += p[kParamP1] >= 197;
    }
    // Real speech exercises both delay codings.
    EXPECT_GT(fractional, 20);
    EXPECT_GT(longDelays, 0);
}

// The encoder's analysis-by-synthesis assumes the decoder will build exactly the
// excitation and filters it chose; any mismatch in index coding, gain mapping or
// sharpening shows here long before it shows in listening quality.
TEST(EncoderState, DecoderRebuildsTheEncodersExcitationAndLsps) {
    const auto pcm = Speech();
    auto enc = std::make_unique<G729EncoderState>();
    auto dec = std::make_unique<G729DecoderState>();
    EncoderInit(*enc);
    DecoderInit(*dec);
    const size_t frames = pcm.size() / kFrameSamples;
    for (size_t f = 0; f < frames; ++f) {
        int32_t p[kParamCount];
        EncodeToParams(*enc, &pcm[f * kFrameSamples], p);
        dec->params[0] = 0;
        for (int k = 0; k < kParamCount; ++k) {
            dec->params[1 + k] = p[k];
        }
        dec->params[1 + kParamP0] = PitchParityCheck(p[kParamP1], p[kParamP0]);
        ASSERT_EQ(dec->params[1 + kParamP0], 0);
        DecodedFrame out;
        DecodeSynthesis(*dec, out);
        for (int n = 0; n < G729EncoderState::kExcHistory; ++n) {
            ASSERT_NEAR(dec->exc[n], enc->exc[n], 1e-6 * (1.0 + std::fabs(enc->exc[n])))
                << "frame " << f << " sample " << n;
        }
        for (int i = 0; i < 10; ++i) {
            ASSERT_NEAR(dec->prev_lsp[i], enc->prev_lsp_q[i], 1e-12) << f;
        }
    }
}

}  // namespace
}  // namespace kestrona::codec
