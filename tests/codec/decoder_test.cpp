#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/bitstream.h"
#include "codec/decoder.h"
#include "codec/g729.h"
#include "codec/postfilter.h"
#include "codec/tables.h"

namespace kestrona::codec {
namespace {

// A frame's parameters with a correct parity bit.
CodecParams Frame(int lsp1, int lsp2, int p1, int c1, int s1, int g1, int p2, int c2, int s2,
                  int g2) {
    return {lsp1, lsp2, p1, PitchParity(p1), c1, s1, g1, p2, c2, s2, g2};
}

// Runs the frame decoder only, as DecodeFrame would after unpacking.
DecodedFrame Synthesise(G729DecoderState& st, const CodecParams& p, int bad) {
    st.params[0] = bad;
    std::memcpy(st.params + 1, p.data(), sizeof(int32_t) * kParamCount);
    st.params[1 + kParamP0] = PitchParityCheck(p[kParamP1], p[kParamP0]);
    DecodedFrame out;
    DecodeSynthesis(st, out);
    return out;
}

void DecodeAll(G729DecoderState& st, const CodecParams& p, int bad) {
    int16_t pcm[80];
    int32_t prm[kParamCount];
    std::copy(p.begin(), p.end(), prm);
    prm[kParamP0] = PitchParityCheck(p[kParamP1], p[kParamP0]);
    DecodeParams(st, prm, bad, pcm);
}

// A stream of random but well-formed frames, to put the state somewhere other
// than its reset values.
void Warm(G729DecoderState& st, int frames, unsigned seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < frames; ++i) {
        const CodecParams p =
            Frame(rng() & 255, rng() & 1023, rng() % 256, rng() & 8191, rng() & 15, rng() & 127,
                  rng() & 31, rng() & 8191, rng() & 15, rng() & 127);
        DecodeAll(st, p, 0);
    }
}

TEST(DecoderStateTest, InitResetsAllButTheCarriedFields) {
    G729DecoderState st;
    DecoderInit(st);
    Warm(st, 30, 1);
    // Leave lost-frame traces too, so that the seed has moved.
    DecodeAll(st, CodecParams{}, 1);

    const G729DecoderState before = st;
    ASSERT_NE(before.seed, 21845);
    ASSERT_NE(before.agc_gain, 1.0);
    ASSERT_NE(before.tilt_mem, 0.0);
    ASSERT_NE(before.past_qua_en[0], -14.0);

    DecoderInit(st);
    // Carried into the next call.
    EXPECT_EQ(0, std::memcmp(st.prev_lsp, before.prev_lsp, sizeof st.prev_lsp));
    EXPECT_EQ(0, std::memcmp(st.past_qua_en, before.past_qua_en, sizeof st.past_qua_en));
    EXPECT_EQ(st.seed, before.seed);
    EXPECT_EQ(st.tilt_mem, before.tilt_mem);
    EXPECT_EQ(st.agc_gain, before.agc_gain);
    EXPECT_EQ(0, std::memcmp(st.params, before.params, sizeof st.params));
    // Reset.
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(st.lsf_pred_mem[k][i], kLsfReset[i]);
        }
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(st.last_good_lsf[i], kLsfReset[i]);
        EXPECT_EQ(st.synth_mem[i], 0.0);
        EXPECT_EQ(st.pf_synth_mem[i], 0.0);
        EXPECT_EQ(st.synth[i], 0.0);
    }
    EXPECT_TRUE(std::all_of(st.exc, st.exc + G729DecoderState::kExcHistory,
                            [](double v) { return v == 0.0; }));
    EXPECT_TRUE(
        std::all_of(std::begin(st.pf_res), std::end(st.pf_res), [](double v) { return v == 0.0; }));
    EXPECT_TRUE(
        std::all_of(std::begin(st.pp_mem), std::end(st.pp_mem), [](double v) { return v == 0.0; }));
    EXPECT_EQ(st.last_predictor, 0);
    EXPECT_EQ(st.pitch_sharp, 0.2);
    EXPECT_EQ(st.last_delay, 60);
    EXPECT_EQ(st.pitch_gain, 0.0);
    EXPECT_EQ(st.code_gain, 0.0);
}

TEST(DecoderPitchTest, DelayIndexDecoding) {
    G729DecoderState st;
    DecoderInit(st);
    // 3T - 58 + f below 197: T = 40, f = -1 -> 61; subframe 2 relative to Tmin = 35.
    DecodedFrame f = Synthesise(st, Frame(0, 0, 61, 0, 0, 0, 3 * 5 + 1 + 2, 0, 0, 0), 0);
    EXPECT_EQ(f.delay[0], 40);
    EXPECT_EQ(f.delay[1], 40);
    EXPECT_EQ(st.last_delay, 40);
    // T + 112 from 86 on; subframe 2 range clamps to 134..143.
    f = Synthesise(st, Frame(0, 0, 142 + 112, 0, 0, 0, 3 * 9 + 0 + 2, 0, 0, 0), 0);
    EXPECT_EQ(f.delay[0], 142);
    EXPECT_EQ(f.delay[1], 143);
    // Shortest delay: Tmin stays at 20.
    f = Synthesise(st, Frame(0, 0, 0, 0, 0, 0, 2, 0, 0, 0), 0);
    EXPECT_EQ(f.delay[0], 19);  // 19 1/3, the shortest delay
    EXPECT_EQ(f.delay[1], 20);
}

TEST(DecoderPitchTest, ParityErrorAfterInitUsesDelaySixty) {
    G729DecoderState st;
    DecoderInit(st);
    CodecParams p = Frame(0, 0, 100, 0, 0, 0, 2, 0, 0, 0);
    p[kParamP0] ^= 1;
    const DecodedFrame f = Synthesise(st, p, 0);
    EXPECT_EQ(f.delay[0], 60);
    // Subframe 2 is still decoded, relative to the delay actually used.
    EXPECT_EQ(f.delay[1], 55);
    EXPECT_EQ(st.last_delay, 55);
}

TEST(DecoderPitchTest, ZeroBytesAreAParityErrorNotALostFrame) {
    G729DecoderState st;
    DecoderInit(st);
    const uint8_t zeros[10] = {};
    int16_t pcm[80];
    DecodeFrame(st, zeros, pcm, 0);
    EXPECT_EQ(st.params[0], 0);
    EXPECT_EQ(st.params[1 + kParamP0], 1);
    // Subframe 1 took delay 60; subframe 2's P2 = 0 lies one below the
    // relative range and decodes to Tmin - 1 = 54, fraction 1.
    EXPECT_EQ(st.last_delay, 54);
}

TEST(DecoderConcealmentTest, TenLostFrames) {
    G729DecoderState st;
    DecoderInit(st);
    Warm(st, 5, 7);
    // Last good frame: delay 130 in both subframes and the largest pitch gain.
    int best_g = 0;
    double best_gp = -1.0;
    for (int g = 0; g < 128; ++g) {
        const double gp = kGainCbA[kGainInvMapA[g >> 4]][0] + kGainCbB[kGainInvMapB[g & 15]][0];
        if (gp > best_gp) {
            best_gp = gp;
            best_g = g;
        }
    }
    ASSERT_GT(best_gp, 0.9);
    DecodeAll(st, Frame(5, 9, 130 + 112, 77, 3, best_g, 3 * 5 + 2, 99, 5, best_g), 0);
    ASSERT_EQ(st.last_delay, 130);

    int expected_delay = 130;
    double gp = st.pitch_gain;
    double gc = st.code_gain;
    for (int frame = 0; frame < 10; ++frame) {
        const G729DecoderState before = st;
        const DecodedFrame f = Synthesise(st, CodecParams{}, 1);
        for (int s = 0; s < 2; ++s) {
            EXPECT_EQ(f.delay[s], expected_delay) << "frame " << frame << " subframe " << s;
            expected_delay = std::min(expected_delay + 1, 143);
        }
        EXPECT_EQ(st.last_delay, expected_delay);
        // Lost frames reuse the last good LSFs.
        EXPECT_EQ(0, std::memcmp(st.last_good_lsf, before.last_good_lsf, sizeof st.last_good_lsf));
        for (int i = 0; i < 10; ++i) {
            EXPECT_DOUBLE_EQ(st.prev_lsp[i], std::cos(before.last_good_lsf[i]));
        }
        // Gains: two subframes of attenuation.
        gp = std::min(0.9 * std::min(0.9 * gp, 0.9), 0.9);
        gc *= 0.98 * 0.98;
        EXPECT_DOUBLE_EQ(st.pitch_gain, gp);
        EXPECT_LE(st.pitch_gain, 0.9);
        EXPECT_NEAR(st.code_gain, gc, 1e-9 * std::max(1.0, gc));
        // Energy memory: two steps of "mean of four minus 4 dB, floor -14".
        double e[4];
        std::memcpy(e, before.past_qua_en, sizeof e);
        for (int s = 0; s < 2; ++s) {
            const double m = std::max((e[0] + e[1] + e[2] + e[3]) / 4.0 - 4.0, -14.0);
            e[3] = e[2];
            e[2] = e[1];
            e[1] = e[0];
            e[0] = m;
        }
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(st.past_qua_en[i], e[i], 1e-12);
            EXPECT_GE(st.past_qua_en[i], -14.0);
        }
        // Two steps of the generator per subframe.
        uint16_t seed = before.seed;
        for (int k = 0; k < 4; ++k) {
            NextRandom(seed);
        }
        EXPECT_EQ(st.seed, seed);
        // Post-filter and post-processing still run on the concealed speech.
        PostFilter(st, f);
        PostProcess(st, st.synth + 10, 80);
    }
    EXPECT_EQ(expected_delay, 143);
    EXPECT_EQ(st.past_qua_en[0], -14.0);
}

TEST(DecoderConcealmentTest, LostFrameFeedsThePredictorMemory) {
    G729DecoderState st;
    DecoderInit(st);
    Warm(st, 8, 3);
    const G729DecoderState before = st;
    Synthesise(st, CodecParams{}, 1);

    double expected[10];
    LsfPredictionTarget(before.last_predictor, before.lsf_pred_mem, before.last_good_lsf, expected);
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(st.lsf_pred_mem[0][i], expected[i], 1e-12);
        for (int k = 1; k < 4; ++k) {
            EXPECT_EQ(st.lsf_pred_mem[k][i], before.lsf_pred_mem[k - 1][i]);
        }
    }

    // The next good frame predicts from that memory, not from the one before
    // the loss.
    G729DecoderState lost = st;
    G729DecoderState intact = before;
    const CodecParams next = Frame(200, 500, 80, 1, 2, 3, 4, 5, 6, 7);
    Synthesise(lost, next, 0);
    Synthesise(intact, next, 0);
    double diff = 0.0;
    for (int i = 0; i < 10; ++i) {
        diff += std::fabs(lost.last_good_lsf[i] - intact.last_good_lsf[i]);
    }
    EXPECT_GT(diff, 1e-6);
}

// Any ten bytes are a frame: arbitrary input, with and without losses, keeps
// every delay within the excitation history and every value finite.
TEST(DecoderConcealmentTest, ArbitraryBytesStayBounded) {
    G729DecoderState st;
    DecoderInit(st);
    std::mt19937 rng(99);
    uint8_t frame[10];
    int16_t pcm[80];
    for (int i = 0; i < 3000; ++i) {
        for (uint8_t& b : frame) {
            b = static_cast<uint8_t>(rng());
        }
        DecodeFrame(st, frame, pcm, (rng() % 5) == 0 ? 1 : 0);
        ASSERT_GE(st.last_delay, 19);
        ASSERT_LE(st.last_delay, 144);
        for (double v : st.synth_mem) {
            ASSERT_TRUE(std::isfinite(v)) << "frame " << i;
        }
        ASSERT_TRUE(std::isfinite(st.agc_gain));
        ASSERT_TRUE(std::isfinite(st.pp_mem[2]));
    }
}

// A peer that sends the same extreme LSP indices frame after frame drives the
// LSFs to their limits. The process-wide decoder prints a line each time (the
// codec tool's way) until told to count them only (the phone's); an init
// starts the count again.
TEST(DecoderWarningsTest, RepeatedExtremeFramesAreCountedQuietlyWhenAsked) {
    std::vector<uint8_t> junk(100 * 10);
    BitPacker packer;
    for (int i = 0; i < 100; ++i) {
        int32_t p[kParamCount] = {};
        // The lowest first LSF, then the highest last one.
        p[kParamLsp1] = i < 50 ? 0 : 121;
        p[kParamLsp2] = i < 50 ? 17 * 32 : 11;
        p[kParamP1] = 60;
        p[kParamP0] = PitchParity(p[kParamP1]);
        packer.Pack(p, &junk[i * 10]);
    }
    int16_t pcm[80];
    auto decode_all = [&] {
        testing::internal::CaptureStdout();
        for (size_t i = 0; i < junk.size(); i += 10) {
            G729DecodeFrame(&junk[i], pcm, 0);
        }
        return testing::internal::GetCapturedStdout();
    };
    auto count = [](const std::string& out, const std::string& line) {
        size_t n = 0;
        for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
            ++n;
        }
        return n;
    };

    G729DecoderInit();
    const std::string printed = decode_all();
    const LspWarnings loud = G729DecoderLspWarnings();
    EXPECT_GT(loud.low, 10u);
    EXPECT_GT(loud.high, 10u);
    EXPECT_EQ(count(printed, "warning LSP Low \n"), loud.low);
    EXPECT_EQ(count(printed, "warning LSP High \n"), loud.high);

    G729SetLspWarningsPrinted(false);
    G729DecoderInit();
    EXPECT_EQ(G729DecoderLspWarnings().low + G729DecoderLspWarnings().high, 0u);
    EXPECT_EQ(decode_all(), "");
    const LspWarnings quiet = G729DecoderLspWarnings();
    EXPECT_EQ(quiet.low, loud.low);
    EXPECT_EQ(quiet.high, loud.high);
    EXPECT_FALSE(quiet.print);
    // The encoder side is quiet too, and its own count is untouched.
    EXPECT_FALSE(G729EncoderLspWarnings().print);
    EXPECT_EQ(G729EncoderLspWarnings().low + G729EncoderLspWarnings().high, 0u);
    G729SetLspWarningsPrinted(true);
}

TEST(DecoderCodeVectorTest, PositionAndSignIndices) {
    double c[40];
    auto pulses = [&](int32_t pos, int32_t sign) {
        BuildCodeVector(pos, sign, c);
        std::vector<std::pair<int, double>> v;
        for (int n = 0; n < 40; ++n) {
            if (c[n] != 0.0) {
                v.emplace_back(n, c[n]);
            }
        }
        return v;
    };
    using P = std::vector<std::pair<int, double>>;
    EXPECT_EQ(pulses(0, 15), (P{{0, 1.0}, {1, 1.0}, {2, 1.0}, {3, 1.0}}));
    EXPECT_EQ(pulses(8191, 0), (P{{35, -1.0}, {36, -1.0}, {37, -1.0}, {39, -1.0}}));
    // Track 3 (bit 9 clear) and each sign bit on its own pulse.
    EXPECT_EQ(pulses(1 + 2 * 8 + 3 * 64 + 2 * 512, 0b0101),
              (P{{5, 1.0}, {8, -1.0}, {11, -1.0}, {17, 1.0}}));
}

TEST(PostFilterTest, DelaySearchRange) {
    int lo;
    int hi;
    PostFilterDelayRange(142, &lo, &hi);
    EXPECT_EQ(lo, 137);
    EXPECT_EQ(hi, 143);
    PostFilterDelayRange(20, &lo, &hi);
    EXPECT_EQ(lo, 17);
    EXPECT_EQ(hi, 23);
    PostFilterDelayRange(143, &lo, &hi);
    EXPECT_EQ(lo, 137);
    EXPECT_EQ(hi, 143);
}

TEST(PostFilterTest, LongTermFilterFindsThePeriodAndStaysOffOnNoise) {
    double buf[143 + 40];
    // A pulse train of period 50: strongly correlated at 50.
    for (int n = 0; n < 183; ++n) {
        buf[n] = (n % 50 == 0) ? 1000.0 : 0.0;
    }
    double q[40];
    const double* r = buf + 143;
    EXPECT_EQ(LongTermPostFilter(r, 47, 53, q), 50);
    // Strong correlation (R > E0) gives the fixed 2/3, 1/3 mix.
    for (int n = 0; n < 40; ++n) {
        EXPECT_NEAR(q[n], (2.0 / 3.0) * r[n] + (1.0 / 3.0) * r[n - 50], 1e-9);
    }
    // Equal correlations: the smallest delay wins (period 25 appears at 25 and
    // 50).
    for (int n = 0; n < 183; ++n) {
        buf[n] = (n % 25 == 0) ? 1000.0 : 0.0;
    }
    EXPECT_EQ(LongTermPostFilter(r, 25, 50, q), 25);

    // Noise: no useful correlation, the residual passes unchanged.
    std::mt19937 rng(5);
    std::normal_distribution<double> nd(0.0, 500.0);
    for (double& v : buf) {
        v = nd(rng);
    }
    EXPECT_EQ(LongTermPostFilter(r, 60, 66, q), 0);
    for (int n = 0; n < 40; ++n) {
        EXPECT_EQ(q[n], r[n]);
    }
}

TEST(PostFilterTest, GainControlEdges) {
    double y[40];
    double z[40];
    // All-zero post-filtered subframe: gain drops to 0, z untouched.
    std::fill(y, y + 40, 100.0);
    std::fill(z, z + 40, 0.0);
    double gain = 0.7;
    AdaptiveGainControl(y, z, &gain);
    EXPECT_EQ(gain, 0.0);
    EXPECT_TRUE(std::all_of(z, z + 40, [](double v) { return v == 0.0; }));

    // From gain 0 it grows by g0 per sample towards the energy ratio.
    std::fill(z, z + 40, 50.0);
    AdaptiveGainControl(y, z, &gain);
    const double g0 = std::sqrt((40 * 100.0 * 100.0) / (40 * 50.0 * 50.0)) * 0.1;
    EXPECT_NEAR(z[0], 50.0 * g0, 1e-9);
    EXPECT_NEAR(z[1], 50.0 * (0.9 * g0 + g0), 1e-9);

    // Silent input, non-silent output: g0 = 0 and the gain decays by 0.9 per
    // sample.
    std::fill(y, y + 40, 0.0);
    std::fill(z, z + 40, 10.0);
    gain = 1.0;
    AdaptiveGainControl(y, z, &gain);
    EXPECT_NEAR(z[0], 9.0, 1e-12);
    EXPECT_NEAR(z[1], 8.1, 1e-12);
    EXPECT_NEAR(gain, std::pow(0.9, 40), 1e-15);
}

}  // namespace
}  // namespace kestrona::codec
