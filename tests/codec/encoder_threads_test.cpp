// Two encoder objects on two threads, as tools and tests use them: the encoder
// keeps its scratch storage per call, so neither disturbs the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "codec/encoder.h"
#include "codec_test_util.h"

namespace kestrona::codec {
namespace {

std::vector<int32_t> EncodeAll(const std::vector<int16_t>& pcm) {
    auto st = std::make_unique<G729EncoderState>();
    EncoderInit(*st);
    const size_t frames = pcm.size() / kFrameSamples;
    std::vector<int32_t> params(frames * kParamCount);
    for (size_t f = 0; f < frames; ++f) {
        EncodeToParams(*st, &pcm[f * kFrameSamples], &params[f * kParamCount]);
    }
    return params;
}

TEST(EncoderThreads, TwoEncodersAtOnceGiveWhatEachGivesAlone) {
    const std::vector<int16_t> forward = testing::LoadSpeech("tests/data/speech_8k.wav");
    ASSERT_GT(forward.size(), 8000u);
    std::vector<int16_t> backward(forward.rbegin(), forward.rend());

    const std::vector<int32_t> wantA = EncodeAll(forward);
    const std::vector<int32_t> wantB = EncodeAll(backward);
    ASSERT_NE(wantA, wantB);

    std::vector<int32_t> gotA;
    std::vector<int32_t> gotB;
    std::thread a([&] { gotA = EncodeAll(forward); });
    std::thread b([&] { gotB = EncodeAll(backward); });
    a.join();
    b.join();
    EXPECT_EQ(gotA, wantA);
    EXPECT_EQ(gotB, wantB);
}

}  // namespace
}  // namespace kestrona::codec
