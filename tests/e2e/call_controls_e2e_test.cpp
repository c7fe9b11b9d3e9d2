// The controls of a call between real phone processes: mute and the
// microphone's level, as the far side's loudspeaker plays them.
#include <gtest/gtest.h>

#include <QThread>
#include <cmath>
#include <cstdio>

#include "e2e/call_fixture.h"
#include "e2e/e2e_rig.h"
#include "platform/wav_file.h"

using namespace kestrona;
using namespace kestrona::e2e;

namespace {

constexpr int kRate = 8000;

class CallControlsTest : public CallFixture {
  protected:
    // A steady voice-band sound for the whole call, so that every stretch of
    // it is as loud as every other one.
    std::filesystem::path Tone() {
        PcmAudio audio;
        audio.rate = kRate;
        audio.samples.resize(size_t(kRate) * 40);
        for (size_t i = 0; i < audio.samples.size(); ++i) {
            const double t = double(i) / kRate;
            audio.samples[i] =
                int16_t(4000 * std::sin(2 * M_PI * 440 * t) + 2000 * std::sin(2 * M_PI * 1210 * t));
        }
        const auto path = dir.path() / "tone_8k.wav";
        std::string error;
        EXPECT_TRUE(WriteWavFile(path, audio, error)) << error;
        return path;
    }

    // Waits until the phone's loudspeaker has played `seconds` more.
    static double PlayOn(const Phone& phone, double seconds) {
        const double from = SpeakerSeconds(phone, kRate);
        EXPECT_TRUE(WaitUntil([&] { return SpeakerSeconds(phone, kRate) >= from + seconds; }));
        return SpeakerSeconds(phone, kRate);
    }
};

double Rms(const std::vector<int16_t>& s, double from, double to) {
    const size_t a = size_t(std::max(0.0, from) * kRate);
    const size_t b = std::min(s.size(), size_t(to * kRate));
    double sum = 0;
    for (size_t i = a; i < b; ++i) sum += double(s[i]) * s[i];
    return b > a ? std::sqrt(sum / double(b - a)) : 0;
}

// Where, after `from`, the level first crosses `threshold` (downwards when
// `falling`), in 50 ms steps; -1 when it never does.
double Crossing(const std::vector<int16_t>& s, double from, double threshold, bool falling) {
    for (double t = from; t + 0.05 <= double(s.size()) / kRate; t += 0.05) {
        const double level = Rms(s, t, t + 0.05);
        if (falling ? level < threshold : level > threshold)
            return t;
    }
    return -1;
}

// Muted, the far side hears silence for as long as the mute lasts, and the
// sound comes back with the delay it had; half the microphone's level is
// half as loud at the far end.
TEST_F(CallControlsTest, MuteAndTheMicrophonesLevelAsTheFarSideHearsThem) {
    auto a = MakePhone("ivan", Tone());
    auto b = MakePhone("judy", reversed);
    ASSERT_EQ(a->Rpc({QStringLiteral("dial"), QString::number(b->Number())}), QStringLiteral("ok"));
    ASSERT_TRUE(b->WaitState(3));
    ASSERT_EQ(b->Rpc({QStringLiteral("answer")}), QStringLiteral("ok"));
    ASSERT_TRUE(a->WaitState(2));

    const double muteAt = PlayOn(*b, 2.0);
    ASSERT_EQ(a->Rpc({QStringLiteral("mute"), QStringLiteral("on")}), QStringLiteral("ok"));
    EXPECT_TRUE(a->Rpc({QStringLiteral("display")}).contains(QStringLiteral("muted=1")));
    const double unmuteAt = PlayOn(*b, 2.5);
    ASSERT_EQ(a->Rpc({QStringLiteral("mute"), QStringLiteral("off")}), QStringLiteral("ok"));
    const double halfAt = PlayOn(*b, 2.5);
    ASSERT_EQ(a->Rpc({QStringLiteral("volume"), QStringLiteral("mic"), QStringLiteral("50")}),
              QStringLiteral("ok"));
    const double endAt = PlayOn(*b, 2.5);
    a->Rpc({QStringLiteral("hangup")});
    ASSERT_TRUE(b->WaitState(0));
    EXPECT_EQ(a->Setting("miclevel"), "50");

    // The loudspeaker file runs ahead of the moment of playing by the
    // playout buffer, as far as the call's delay puts the sound behind the
    // command: each change shows near the file position of its command.
    const std::vector<int16_t> heard = ReadSamples(b->Speaker());
    const double reference = Rms(heard, muteAt - 1.5, muteAt - 0.5);
    const double silentFrom = Crossing(heard, muteAt - 0.5, reference * 0.05, true);
    const double soundFrom = Crossing(heard, silentFrom + 0.2, reference * 0.5, false);
    ASSERT_GT(silentFrom, 0);
    ASSERT_GT(soundFrom, 0);
    const double loud = Rms(heard, silentFrom - 1.1, silentFrom - 0.1);
    const double muted = Rms(heard, silentFrom + 0.1, soundFrom - 0.1);
    const double back = Rms(heard, soundFrom + 0.2, halfAt - 0.5);
    const double halfFrom = Crossing(heard, halfAt - 0.5, back * 0.75, true);
    ASSERT_GT(halfFrom, 0);
    const double half = Rms(heard, halfFrom + 0.2, endAt - 0.1);
    std::printf(
        "[ measured ] far side's level: %.0f spoken, %.0f muted, %.0f after, %.0f at half "
        "the microphone (%.2f); silent for %.2f s of a %.2f s mute; each change heard "
        "%.2f / %.2f / %.2f s from its command's file position\n",
        loud, muted, back, half, half / back, soundFrom - silentFrom, unmuteAt - muteAt,
        silentFrom - muteAt, soundFrom - unmuteAt, halfFrom - halfAt);
    EXPECT_GT(loud, 500);
    EXPECT_LT(muted, loud * 0.02);
    EXPECT_GT(back, loud * 0.7);
    EXPECT_GT(half / back, 0.35);
    EXPECT_LT(half / back, 0.65);
    // The stream kept its time while muted: the silence lasts as long as the
    // mute, and the sound returns as late after its command as the silence
    // began after its own.
    EXPECT_NEAR(soundFrom - silentFrom, unmuteAt - muteAt, 0.35);
    EXPECT_NEAR(soundFrom - unmuteAt, silentFrom - muteAt, 0.35);
}

}  // namespace
