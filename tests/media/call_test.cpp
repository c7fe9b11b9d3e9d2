// Whole calls on loopback: two engines, speech from a file on each side, and
// each side's loudspeaker file compared with what the codec makes of the
// other side's speech. Directly at every rate with a short and a long delay
// buffer, and through real proxies (tinyproxy for the caller's HTTP CONNECT,
// dante for the answerer's SOCKS5 BIND).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "call_rig.h"
#include "media_test_util.h"
#include "platform/wav_file.h"
#include "support/proxy_fixtures.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

// Two seconds of speech at the call's rate, taken from the committed samples.
std::vector<int16_t> SpeechAt(int rate) {
    const char* file = rate == 8000    ? "speech_8k.wav"
                       : rate == 16000 ? "speech_16k.wav"
                                       : "speech_24k.wav";
    PcmAudio audio;
    std::string error;
    EXPECT_TRUE(ReadWavFile(fs::path(KESTRONA_SOURCE_DIR) / "tests/data" / file, audio, error))
        << error;
    std::vector<int16_t> pcm;
    ResampleLinear(audio.samples.data(), audio.samples.size(), audio.rate, uint32_t(rate), pcm);
    // Skip the lead-in; keep whole frames.
    size_t from = size_t(rate) * 3 / 10, len = size_t(rate) * 2 / 80 * 80;
    EXPECT_GE(pcm.size(), from + len);
    return std::vector<int16_t>(pcm.begin() + long(from), pcm.begin() + long(from + len));
}

struct Outcome {
    size_t blocksSpoken = 0;
    BlockwiseMatch heardByAnswerer;
    BlockwiseMatch heardByCaller;
};

// Runs one call until both loudspeakers have had the other side's speech
// and a block more, then hangs up.
Outcome RunSpeechCall(int rate, int delayMs, const ProxySetup& proxy = {}) {
    test::TempDir dir;
    Side caller(dir.Path(), "caller", MakePrivateSpeechCodec());
    Side answerer(dir.Path(), "answerer", MakePrivateSpeechCodec());
    std::vector<int16_t> callerSpeech = SpeechAt(rate);
    std::vector<int16_t> answererSpeech(callerSpeech.rbegin(), callerSpeech.rend());
    EXPECT_TRUE(WriteRaw(caller.mic, callerSpeech));
    EXPECT_TRUE(WriteRaw(answerer.mic, answererSpeech));

    Outcome out;
    ConnectCall(caller, answerer, rate, delayMs, proxy);
    if (::testing::Test::HasFatalFailure())
        return out;
    StartTalking(caller, answerer);
    const size_t block = size_t(CAudioEngine::BlockBytesFor(rate, delayMs) / 2);
    const size_t enough = callerSpeech.size() + 3 * block + size_t(rate) / 5;
    EXPECT_TRUE(WaitUntil(
        [&] { return SpeakerSamples(caller) >= enough && SpeakerSamples(answerer) >= enough; },
        std::chrono::seconds(120)));
    EXPECT_EQ(caller.owner.Count(kMsgConnectionLost), 0);
    EXPECT_EQ(answerer.owner.Count(kMsgConnectionLost), 0);
    caller.engine->Stop();
    answerer.engine->Stop();

    out.blocksSpoken = callerSpeech.size() / block;
    out.heardByAnswerer = MatchBlocks(answerer.Heard(), CodecRoundTrip(callerSpeech), block);
    out.heardByCaller = MatchBlocks(caller.Heard(), CodecRoundTrip(answererSpeech), block);
    return out;
}

void ExpectHeard(const Outcome& o, int rate, int delayMs) {
    // Every block of the other side's speech, in order, as the codec renders
    // it: identical codec states on both ends make a loss-free call
    // reproduce the round trip exactly.
    EXPECT_EQ(size_t(o.heardByAnswerer.blocks), o.blocksSpoken) << rate << " Hz, " << delayMs;
    EXPECT_EQ(size_t(o.heardByCaller.blocks), o.blocksSpoken) << rate << " Hz, " << delayMs;
    EXPECT_GT(o.heardByAnswerer.worst, 0.99) << rate << " Hz, " << delayMs << " ms";
    EXPECT_GT(o.heardByCaller.worst, 0.99) << rate << " Hz, " << delayMs << " ms";
    // Speech cannot be heard before the sender has captured a whole block
    // (the two devices start within a few milliseconds of each other).
    const long block = CAudioEngine::BlockBytesFor(rate, delayMs) / 2;
    EXPECT_GE(o.heardByAnswerer.firstOffset, block - rate / 100);
    EXPECT_GE(o.heardByCaller.firstOffset, block - rate / 100);
    std::printf("%d Hz %d ms: worst block correlation %.4f / %.4f, speech at %.3f / %.3f s\n", rate,
                delayMs, o.heardByAnswerer.worst, o.heardByCaller.worst,
                double(o.heardByAnswerer.firstOffset) / rate,
                double(o.heardByCaller.firstOffset) / rate);
}

class DirectCall : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(DirectCall, EachSideHearsTheOthersSpeechInOrder) {
    auto [rate, delay] = GetParam();
    Outcome o = RunSpeechCall(rate, delay);
    ExpectHeard(o, rate, delay);
}

INSTANTIATE_TEST_SUITE_P(RatesAndDelays, DirectCall,
                         ::testing::Combine(::testing::Values(8000, 12000, 16000, 22050, 24000),
                                            ::testing::Values(250, 1000)),
                         [](const auto& info) {
                             return std::to_string(std::get<0>(info.param)) + "Hz_" +
                                    std::to_string(std::get<1>(info.param)) + "ms";
                         });

// With the traceable codec every frame that went out must come in once, in
// order, and nothing a proxy said may be decoded as audio.
void ExpectExactStreams(const ProxySetup& proxy) {
    test::TempDir dir;
    auto callerCodec = std::make_shared<MarkerCodec>();
    auto answererCodec = std::make_shared<MarkerCodec>();
    Side caller(dir.Path(), "caller", callerCodec);
    Side answerer(dir.Path(), "answerer", answererCodec);
    ASSERT_TRUE(WriteRaw(caller.mic, Staircase(300)));
    ASSERT_TRUE(WriteRaw(answerer.mic, Staircase(300)));
    ConnectCall(caller, answerer, 8000, 250, proxy);
    StartTalking(caller, answerer);
    ASSERT_TRUE(WaitUntil([&] {
        return SpeakerSamples(caller) >= 4 * 1920 && SpeakerSamples(answerer) >= 4 * 1920;
    }));
    EXPECT_EQ(caller.owner.Count(kMsgConnectionLost), 0);
    EXPECT_EQ(answerer.owner.Count(kMsgConnectionLost), 0);
    caller.engine->Stop();
    answerer.engine->Stop();
    for (auto* codec : {callerCodec.get(), answererCodec.get()}) {
        const auto& frames = codec->DecodedFrames();
        ASSERT_GE(frames.size(), 3u * 24);
        for (size_t k = 0; k < frames.size(); ++k) {
            ASSERT_TRUE(frames[k].intact) << "frame " << k << " is not audio";
            ASSERT_EQ(frames[k].counter, k);
            ASSERT_EQ(frames[k].value, int16_t(k < 300 ? k + 1 : 0));
        }
    }
}

TEST(ProxyCall, CallerThroughHttpConnectSkipsTheProxyReply) {
    if (!test::TinyproxyProcess::Available())
        GTEST_SKIP() << "tinyproxy not installed";
    test::TinyproxyProcess tinyproxy;
    ASSERT_TRUE(tinyproxy.Start());
    ProxySetup proxy;
    proxy.httpPort = tinyproxy.Port();
    ExpectExactStreams(proxy);
}

TEST(ProxyCall, AnswererThroughSocksBindDiscardsTheSecondReply) {
    if (!test::DantedProcess::Available())
        GTEST_SKIP() << "danted not installed";
    test::DantedProcess dante;
    ASSERT_TRUE(dante.Start());
    ProxySetup proxy;
    proxy.socksPort = dante.Port();
    ExpectExactStreams(proxy);
}

TEST(ProxyCall, SpeechThroughBothProxies) {
    if (!test::TinyproxyProcess::Available() || !test::DantedProcess::Available())
        GTEST_SKIP() << "tinyproxy or danted not installed";
    test::TinyproxyProcess tinyproxy;
    test::DantedProcess dante;
    ASSERT_TRUE(tinyproxy.Start());
    ASSERT_TRUE(dante.Start());
    ProxySetup proxy;
    proxy.httpPort = tinyproxy.Port();
    proxy.socksPort = dante.Port();
    Outcome o = RunSpeechCall(16000, 500, proxy);
    ExpectHeard(o, 16000, 500);
}

// The sender's level and mute act on what it codes, the receiver's level on
// what it plays, from the next block on. Muted, the stream goes on in its
// own time: every frame still goes out, in order, only silent, so nothing
// is late once the sound is back.
TEST(CallControls, MuteKeepsTheStreamsTimeAndLevelsScale) {
    test::TempDir dir;
    auto callerCodec = std::make_shared<MarkerCodec>();
    auto answererCodec = std::make_shared<MarkerCodec>();
    Side caller(dir.Path(), "caller", callerCodec);
    Side answerer(dir.Path(), "answerer", answererCodec);
    ASSERT_TRUE(WriteRaw(caller.mic, std::vector<int16_t>(80 * 800, 1000)));
    ASSERT_TRUE(WriteRaw(answerer.mic, Staircase(10)));
    ConnectCall(caller, answerer, 8000, 250);
    caller.engine->SetLevels(50, 100);
    answerer.engine->SetLevels(100, 200);
    StartTalking(caller, answerer);
    const size_t block = 1920;
    auto heardBlocks = [&](size_t n) {
        return WaitUntil([&] { return SpeakerSamples(answerer) >= n * block; });
    };
    ASSERT_TRUE(heardBlocks(3));
    caller.engine->SetMuted(true);
    ASSERT_TRUE(heardBlocks(7));
    caller.engine->SetMuted(false);
    ASSERT_TRUE(heardBlocks(12));
    EXPECT_EQ(answerer.owner.Count(kMsgConnectionLost), 0);
    caller.engine->Stop();
    answerer.engine->Stop();

    // Every frame in order; its value says whether it was spoken or muted.
    const auto& frames = answererCodec->DecodedFrames();
    ASSERT_GE(frames.size(), 10u * 24);
    int runs = 1;
    size_t silent = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
        ASSERT_TRUE(frames[k].intact);
        ASSERT_EQ(frames[k].counter, k);
        ASSERT_TRUE(frames[k].value == 500 || frames[k].value == 0) << frames[k].value;
        silent += frames[k].value == 0;
        if (k > 0 && frames[k].value != frames[k - 1].value)
            ++runs;
    }
    EXPECT_EQ(frames.front().value, 500);
    EXPECT_EQ(frames.back().value, 500);
    EXPECT_EQ(runs, 3);  // speech, the muted stretch, speech again
    EXPECT_GE(silent, 2u * 24);
    // The loudspeaker plays the answerer's level of what came.
    const std::vector<int16_t> heard = answerer.Heard();
    size_t loud = 0;
    for (int16_t v : heard) {
        ASSERT_TRUE(v == 1000 || v == 0) << v;
        loud += v == 1000;
    }
    EXPECT_GE(loud, 6u * block);
}

}  // namespace
