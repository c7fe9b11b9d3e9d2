// Echo control over a laptop-like echo path: the answerer's microphone hears
// its own loudspeaker 40 ms later at -6 dB. The caller must not hear its own
// voice come back (once the canceller has had two seconds to learn the
// path), and must still hear the answerer clearly while both talk at once.
#include <gtest/gtest.h>
#include <algorithm>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "call_rig.h"
#include "media/echo_canceller.h"
#include "media_test_util.h"
#include "platform/wav_file.h"
#include "support/proxy_fixtures.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

constexpr int kRate = 8000;
constexpr int kDelay = 250;

std::vector<int16_t> Speech() {
    PcmAudio audio;
    std::string error;
    EXPECT_TRUE(
        ReadWavFile(fs::path(KESTRONA_SOURCE_DIR) / "tests/data/speech_8k.wav", audio, error))
        << error;
    audio.samples.resize(audio.samples.size() / 80 * 80);
    return audio.samples;
}

struct EchoCall {
    bool echoPath = true;
    bool cancel = true;
    bool answererTalks = false;
};

// What the caller heard in a call where the caller speaks throughout; empty
// when the machine was too busy to keep the call in real time (the engines
// had to drop audio), so the caller can run it again.
std::vector<int16_t> RunEchoCallOnce(const EchoCall& how, const std::vector<int16_t>& callerSpeech,
                                     const std::vector<int16_t>& answererSpeech) {
    test::TempDir dir;
    Side caller(dir.Path(), "caller", MakePrivateSpeechCodec());
    Side answerer(dir.Path(), "answerer", MakePrivateSpeechCodec());
    EXPECT_TRUE(WriteRaw(caller.mic, callerSpeech));
    EXPECT_TRUE(
        WriteRaw(answerer.mic, how.answererTalks ? answererSpeech : std::vector<int16_t>(80, 0)));
    if (how.echoPath)
        answerer.backend->SetEchoPath();
    answerer.engine->SetEchoControl(how.cancel ? CAudioEngine::EchoControl::kOn
                                               : CAudioEngine::EchoControl::kOff);
    ConnectCall(caller, answerer, kRate, kDelay);
    if (::testing::Test::HasFatalFailure())
        return {};
    EXPECT_EQ(answerer.engine->EchoControlActive(), how.cancel);
    StartTalking(caller, answerer);
    // The caller's speech, there and back, plus a margin.
    const size_t enough = callerSpeech.size() + 4 * 1920;
    EXPECT_TRUE(WaitUntil([&] { return SpeakerSamples(caller) >= enough; }));
    caller.engine->Stop();
    answerer.engine->Stop();
    for (const Side* side : {&caller, &answerer}) {
        const auto stats = side->engine->Stats();
        if (stats.playoutSamplesDropped > 0 || stats.captureBlocksDropped > 0)
            return {};
    }
    return caller.Heard();
}

std::vector<int16_t> RunEchoCall(const EchoCall& how, const std::vector<int16_t>& callerSpeech,
                                 const std::vector<int16_t>& answererSpeech) {
    std::vector<int16_t> heard;
    for (int attempt = 0; attempt < 3 && heard.empty(); ++attempt)
        heard = RunEchoCallOnce(how, callerSpeech, answererSpeech);
    EXPECT_FALSE(heard.empty()) << "every attempt lost audio to a busy machine";
    return heard;
}

double Energy(const std::vector<int16_t>& x, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < std::min(to, x.size()); ++i) e += double(x[i]) * x[i];
    return e;
}

TEST(EchoControl, TheFarEndNoLongerHearsItselfAndStillHearsTheNearEndInDoubleTalk) {
    const std::vector<int16_t> speech = Speech();
    const std::vector<int16_t> answererSpeech(speech.rbegin(), speech.rend());

    // Echo return loss enhancement: the caller's own voice coming back, with
    // the canceller against without it, from two seconds on.
    const auto uncancelled = RunEchoCall({true, false, false}, speech, answererSpeech);
    const auto cancelled = RunEchoCall({true, true, false}, speech, answererSpeech);
    // The echo of second t of the caller's speech is heard about two blocks
    // and the echo path's 40 ms later.
    const size_t from = 2 * kRate + 2 * 1920 + kRate / 25, to = speech.size() + 2 * 1920;
    const double before = Energy(uncancelled, from, to), after = Energy(cancelled, from, to);
    ASSERT_GT(before, 0.0) << "no echo reached the caller at all";
    const double erle = 10.0 * std::log10(before / std::max(after, 1.0));
    std::printf("ERLE after two seconds: %.1f dB\n", erle);
    EXPECT_GE(erle, 20.0);

    // Double talk: two seconds of the answerer's speech (from 3.5 s on, once
    // the canceller has settled), as the caller hears it with the echo path and canceller
    // and as it sounds on a call without any echo.
    const auto echoFree = RunEchoCall({false, false, true}, speech, answererSpeech);
    const std::vector<int16_t> reference = CodecRoundTrip(answererSpeech);
    const std::vector<int16_t> piece(reference.begin() + 7 * kRate / 2,
                                     reference.begin() + 11 * kRate / 2);
    const double matchEchoFree = FindBestMatch(echoFree, piece).correlation;
    // The canceller adapts in real time, so a machine busy with other tests
    // can spoil one call: the best of three counts.
    double matchWithEcho = 0.0;
    for (int attempt = 0; attempt < 3 && matchWithEcho < 0.8 * matchEchoFree; ++attempt) {
        const auto withEcho = RunEchoCall({true, true, true}, speech, answererSpeech);
        matchWithEcho = std::max(matchWithEcho, FindBestMatch(withEcho, piece).correlation);
    }
    std::printf("double talk: waveform match %.3f with echo control, %.3f without echo (%.2f)\n",
                matchWithEcho, matchEchoFree, matchWithEcho / matchEchoFree);
    ASSERT_GT(matchEchoFree, 0.5);
    EXPECT_GE(matchWithEcho, 0.8 * matchEchoFree);
}

}  // namespace

// The canceller is given what played while a block was recorded: the
// loudspeaker's and the microphone's own buffering shift that stretch back
// from where the engine's clock puts it.
TEST(FarEndHistory, HeardStretchIsShiftedByBothDevicesLatency) {
    FarEndHistory history(4000);
    std::vector<int16_t> ramp(1000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = int16_t(i + 1);
    history.Write(0, ramp.data(), int(ramp.size()));

    std::vector<int16_t> out(10);
    history.ReadHeard(500, out.data(), 10);
    EXPECT_EQ(out.front(), 501);

    history.SetOutputLatency(300);
    history.SetInputLatency(120);
    history.ReadHeard(500, out.data(), 10);
    EXPECT_EQ(out.front(), 81);
    EXPECT_EQ(out.back(), 90);
    // Before anything played: silence, not stale samples.
    history.ReadHeard(400, out.data(), 10);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t s) { return s == 0; }));
}
