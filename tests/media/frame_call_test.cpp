// Whole calls in frames on loopback: two engines on the file devices, each
// sending its speech as coded frames as it captures them and playing the
// other's through its playout buffer. Opus both ways, in the clear and
// sealed, against what Opus itself makes of the speech; and the traceable
// codec through the same pipeline, where every frame must arrive once and in
// order; and Opus over a network that loses segments.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "call_rig.h"
#include "media/frame_codec.h"
#include "media_test_util.h"
#include "platform/wav_file.h"
#include "support/proxy_fixtures.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

constexpr int kRate = 16000;
constexpr int kFrame = kRate / 50;

// The whole speech file at the call's rate, in whole frames.
std::vector<int16_t> SpeechFile() {
    PcmAudio audio;
    std::string error;
    EXPECT_TRUE(
        ReadWavFile(fs::path(KESTRONA_SOURCE_DIR) / "tests/data/speech_16k.wav", audio, error))
        << error;
    std::vector<int16_t> pcm;
    ResampleLinear(audio.samples.data(), audio.samples.size(), audio.rate, kRate, pcm);
    pcm.resize(pcm.size() / kFrame * kFrame);
    return pcm;
}

// Two seconds of it, from where the talking starts.
std::vector<int16_t> Speech16k() {
    const std::vector<int16_t> pcm = SpeechFile();
    const size_t from = kRate * 3 / 10, len = size_t(kRate) * 2 / kFrame * kFrame;
    EXPECT_GE(pcm.size(), from + len);
    return std::vector<int16_t>(pcm.begin() + long(from), pcm.begin() + long(from + len));
}

// What a listener should hear: the speech through a fresh Opus of the same
// settings, frame by frame.
std::vector<int16_t> OpusRoundTrip(const std::vector<int16_t>& pcm, const OpusFrameSettings& s) {
    auto codec = MakeOpusFrameCodec(s);
    std::vector<int16_t> out(pcm.size() / kFrame * kFrame);
    std::vector<uint8_t> frame(codec->MaxFrameBytes());
    for (size_t k = 0; k + kFrame <= pcm.size(); k += kFrame) {
        const size_t n = codec->Encode({pcm.data() + k, size_t(kFrame)}, frame);
        codec->Decode({frame.data(), n}, {out.data() + k, size_t(kFrame)});
    }
    return out;
}

void Encrypt(Side& caller, Side& answerer) {
    SecretKey32 up, down;
    for (size_t i = 0; i < up.bytes.size(); ++i) {
        up.bytes[i] = uint8_t(i + 1);
        down.bytes[i] = uint8_t(200 - i);
    }
    caller.engine->SetStreamKeys(up, down);
    answerer.engine->SetStreamKeys(down, up);
}

void RunUntilHeard(Side& caller, Side& answerer, size_t enough) {
    StartTalking(caller, answerer);
    EXPECT_TRUE(WaitUntil(
        [&] { return SpeakerSamples(caller) >= enough && SpeakerSamples(answerer) >= enough; },
        std::chrono::seconds(60)));
    EXPECT_EQ(caller.owner.Count(kMsgConnectionLost), 0);
    EXPECT_EQ(answerer.owner.Count(kMsgConnectionLost), 0);
}

TEST(FrameCall, OpusIsHeardBothWaysInTheClearAndSealed) {
    const std::vector<int16_t> said = Speech16k();
    const std::vector<int16_t> back(said.rbegin(), said.rend());
    for (bool sealed : {false, true}) {
        SCOPED_TRACE(sealed ? "sealed" : "clear");
        test::TempDir dir;
        Side caller(dir.Path(), "caller", MakePrivateSpeechCodec());
        Side answerer(dir.Path(), "answerer", MakePrivateSpeechCodec());
        ASSERT_TRUE(WriteRaw(caller.mic, said));
        ASSERT_TRUE(WriteRaw(answerer.mic, back));
        OpusFrameSettings settings;
        settings.constant_bitrate = sealed;
        for (Side* s : {&caller, &answerer}) s->engine->SetFrameCodec(MakeOpusFrameCodec(settings));
        if (sealed)
            Encrypt(caller, answerer);
        ConnectCall(caller, answerer, kRate, 250);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        RunUntilHeard(caller, answerer, said.size() + kRate / 2);
        const auto quality = answerer.engine->QualityNow();
        caller.engine->Stop();
        answerer.engine->Stop();

        // In 200 ms pieces, in order, each as Opus renders it: over loopback
        // nothing is late, so nothing is concealed.
        const size_t piece = kRate / 5;
        const auto heardByAnswerer =
            MatchBlocks(answerer.Heard(), OpusRoundTrip(said, settings), piece);
        const auto heardByCaller =
            MatchBlocks(caller.Heard(), OpusRoundTrip(back, settings), piece);
        EXPECT_EQ(size_t(heardByAnswerer.blocks), said.size() / piece);
        EXPECT_EQ(size_t(heardByCaller.blocks), said.size() / piece);
        EXPECT_GT(heardByAnswerer.worst, 0.95);
        EXPECT_GT(heardByCaller.worst, 0.95);
        EXPECT_GT(quality.played, int64_t(said.size() / kFrame) / 2);
        EXPECT_EQ(quality.dropped, 0);
        std::printf("%s: worst piece %.4f / %.4f, speech at %.3f / %.3f s, playout %d ms\n",
                    sealed ? "sealed" : "clear", heardByAnswerer.worst, heardByCaller.worst,
                    double(heardByAnswerer.firstOffset) / kRate,
                    double(heardByCaller.firstOffset) / kRate, quality.delayMs);
    }
}

// On a network that loses 8 % of its segments both ways (one of the test's
// own), each side still hears nearly all of the other's speech, in time, and
// neither reports the call lost: a retransmission that comes too late for its
// turn is concealed, not waited for.
TEST(FrameCall, SpeechCrossesALossyNetworkBothWays) {
    test::TempDir dir;
    std::string why;
    bool entered = false;
    ChunkArrivals heardByAnswerer, heardByCaller;
    CAudioEngine::Quality quality;
    // The lossy network belongs to this thread and the engines' threads.
    std::thread call([&] {
        if (!EnterOwnNetwork(why))
            return;
        entered = true;
        const std::vector<int16_t> said = SpeechFile();
        ASSERT_FALSE(said.empty());
        const std::vector<int16_t> back(said.rbegin(), said.rend());
        Side caller(dir.Path(), "caller", MakePrivateSpeechCodec());
        Side answerer(dir.Path(), "answerer", MakePrivateSpeechCodec());
        ASSERT_TRUE(WriteRaw(caller.mic, said));
        ASSERT_TRUE(WriteRaw(answerer.mic, back));
        for (Side* s : {&caller, &answerer}) s->engine->SetFrameCodec(MakeOpusFrameCodec());
        Encrypt(caller, answerer);
        // The loss starts once the streams are up: their set-up is not what
        // is measured.
        ConnectCall(caller, answerer, kRate, 250);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        ASSERT_TRUE(LoseSegments(80, dir.Path(), why)) << why;
        RunUntilHeard(caller, answerer, said.size() + kRate);
        quality = answerer.engine->QualityNow();
        caller.engine->Stop();
        answerer.engine->Stop();
        heardByAnswerer = MatchChunks(answerer.Heard(), said, said.size(), kRate);
        heardByCaller = MatchChunks(caller.Heard(), back, back.size(), kRate);
    });
    call.join();
    if (!entered)
        GTEST_SKIP() << why;
    std::printf(
        "heard %d / %d and %d / %d loud half seconds, spread %.0f / %.0f ms; "
        "%lld concealed, %lld late\n",
        heardByAnswerer.heard, heardByAnswerer.loud, heardByCaller.heard, heardByCaller.loud,
        1000 * heardByAnswerer.spreadSeconds, 1000 * heardByCaller.spreadSeconds,
        static_cast<long long>(quality.concealed), static_cast<long long>(quality.late));
    for (const ChunkArrivals* heard : {&heardByAnswerer, &heardByCaller}) {
        EXPECT_GE(heard->loud, 8);
        EXPECT_GE(heard->heard * 10, heard->loud * 7);
        EXPECT_LE(heard->spreadSeconds, 0.25);
    }
}

// Any codec goes through the same frames: G.729's 10 ms frames of the
// traceable codec come out once each, in order, with what was sent.
TEST(FrameCall, EveryFrameOfAnotherCodecArrivesOnceInOrder) {
    test::TempDir dir;
    auto callerMarks = std::make_shared<MarkerCodec>();
    auto answererMarks = std::make_shared<MarkerCodec>();
    Side caller(dir.Path(), "caller", MakePrivateSpeechCodec());
    Side answerer(dir.Path(), "answerer", MakePrivateSpeechCodec());
    ASSERT_TRUE(WriteRaw(caller.mic, Staircase(150)));
    ASSERT_TRUE(WriteRaw(answerer.mic, Staircase(150)));
    caller.engine->SetFrameCodec(MakeG729FrameCodec(callerMarks, 8000));
    answerer.engine->SetFrameCodec(MakeG729FrameCodec(answererMarks, 8000));
    Encrypt(caller, answerer);
    ConnectCall(caller, answerer, 8000, 250);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    RunUntilHeard(caller, answerer, 200 * 80);
    caller.engine->Stop();
    answerer.engine->Stop();
    for (auto* marks : {callerMarks.get(), answererMarks.get()}) {
        // A capture the delay bound found stale is never coded, so the
        // microphone's staircase may skip a step; it never goes back.
        int64_t last = -1, lastValue = 0;
        size_t intact = 0;
        for (const auto& f : marks->DecodedFrames()) {
            if (!f.intact)
                continue;
            ASSERT_GT(int64_t(f.counter), last) << "a frame came twice or out of order";
            if (f.value != 0) {
                ASSERT_GT(f.value, lastValue) << "speech came back out of order";
                ASSERT_LE(f.value, 150);
                lastValue = f.value;
            }
            last = f.counter;
            ++intact;
        }
        EXPECT_GE(intact, 180u);
    }
}

}  // namespace
