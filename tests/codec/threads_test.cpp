// The process-wide encoder and decoder run at once on two threads, as the send
// and receive threads of a call do, and give what they give alone.
#include <gtest/gtest.h>

#include <thread>

#include "codec/bitstream.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/g729.h"
#include "codec_test_util.h"

namespace kestrona::codec {
namespace {

TEST(CodecThreadsTest, EncodeAndDecodeAtOnce) {
    std::vector<int16_t> speech = kestrona::codec::testing::LoadSpeech("tests/data/speech_8k.wav");
    const size_t frames = speech.size() / kFrameSamples;
    ASSERT_GT(frames, 100u);

    // The same work on private state objects, one after the other. This test
    // is alone in its program, so the process-wide states start at load time
    // like these.
    std::vector<uint8_t> want_bits(frames * kFrameBytes);
    std::vector<int16_t> want_pcm(frames * kFrameSamples);
    {
        G729EncoderState enc;
        G729DecoderState dec;
        EncoderInit(enc);
        DecoderInit(dec);
        int32_t params[kParamCount];
        for (size_t i = 0; i < frames; ++i) {
            EncodeToParams(enc, &speech[i * kFrameSamples], params);
            enc.packer.Pack(params, &want_bits[i * kFrameBytes]);
        }
        for (size_t i = 0; i < frames; ++i) {
            DecodeFrame(dec, &want_bits[i * kFrameBytes], &want_pcm[i * kFrameSamples], 0);
        }
    }

    std::vector<uint8_t> got_bits(frames * kFrameBytes);
    std::vector<int16_t> got_pcm(frames * kFrameSamples);
    G729EncoderInit();
    G729DecoderInit();
    std::thread sender([&] {
        for (size_t i = 0; i < frames; ++i) {
            G729EncodeFrame(&speech[i * kFrameSamples], &got_bits[i * kFrameBytes]);
        }
    });
    std::thread receiver([&] {
        for (size_t i = 0; i < frames; ++i) {
            G729DecodeFrame(&want_bits[i * kFrameBytes], &got_pcm[i * kFrameSamples], 0);
        }
    });
    sender.join();
    receiver.join();
    EXPECT_EQ(got_bits, want_bits);
    EXPECT_EQ(got_pcm, want_pcm);
}

}  // namespace
}  // namespace kestrona::codec
