// Engines on the real sound path, each on its own private PulseAudio daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "media/audio_engine.h"
#include "media_test_util.h"
#include "platform/temp_dir.h"
#include "support/pulse_fixture.h"

using namespace kestrona;
using namespace kestrona::mediatest;
using kestrona::testing::PulseFixture;

namespace {

size_t FileSize(const std::filesystem::path& p) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(p, ec);
    return ec ? 0 : size_t(n);
}

}  // namespace

// The sound server of one side dies mid-call: that side is told once, its
// capture goes on at the clock (blocks no faster than real time, counted in
// the call's "out" recording), the network side stays up, and sound returns
// with the server.
TEST(PulseEngine, SoundServerKilledMidCallIsToldOnceAndKeepsTime) {
    kestrona::testing::TempDir dir;
    for (const char* sub : {"pa-a", "pa-b", "a/record", "b/record"})
        std::filesystem::create_directories(dir.path() / sub);
    PulseFixture paA(dir.path() / "pa-a"), paB(dir.path() / "pa-b");
    std::string error;
    ASSERT_TRUE(paA.Start(&error)) << error;
    ASSERT_TRUE(paB.Start(&error)) << error;

    constexpr int kRate = 8000, kDelayMs = 250;
    RecordingOwner ownerA, ownerB;
    CAudioEngine a, b;
    a.SetAudioBackend(MakePulseAudioBackend(paA.ServerAddress()));
    b.SetAudioBackend(MakePulseAudioBackend(paB.ServerAddress()));
    a.SetCodec(MakePrivateSpeechCodec());
    b.SetCodec(MakePrivateSpeechCodec());
    a.SetRecordRoot(dir.path() / "a");
    b.Init(&ownerB, kRate, kDelayMs, true, "", 0, 0);
    ASSERT_TRUE(b.Listen(0, 0));
    a.Init(&ownerA, kRate, kDelayMs, true, "", 0, 0);
    ASSERT_TRUE(a.Connect("127.0.0.1", b.m_portIn, b.m_portOut));
    ASSERT_TRUE(WaitUntil([&] { return b.m_sockIn.load() >= 0 && b.m_sockOut.load() >= 0; }));
    a.Record("call");
    b.StartReceive();
    b.StartSend();
    a.StartReceive();
    a.StartSend();
    const auto out = dir.path() / "a" / "record" / "callout";
    const size_t block = size_t(a.m_blockBytes);
    ASSERT_TRUE(WaitUntil([&] { return FileSize(out) >= 2 * block; }));

    paA.KillDaemon();
    ASSERT_TRUE(ownerA.WaitFor(kMsgEngineFailure, 1));
    const size_t before = FileSize(out);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const size_t blocks = (FileSize(out) - before) / block;
    EXPECT_LE(double(blocks), elapsed / (kDelayMs / 1000.0) + 2);
    EXPECT_GE(blocks, 2u);  // and it does go on

    ASSERT_TRUE(paA.Start(&error)) << error;
    std::vector<int16_t> tone(PulseFixture::kRate * 20);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = int16_t(8000 * std::sin(2 * M_PI * 440 * double(i) / PulseFixture::kRate));
    paA.Feed(tone);
    // Sound is back: the peer's loudspeaker plays A's microphone again.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto heard = paB.Heard();
            const size_t n = std::min<size_t>(heard.size(), PulseFixture::kRate / 4);
            double energy = 0;
            for (size_t i = heard.size() - n; i < heard.size(); ++i)
                energy += double(heard[i]) * heard[i];
            return n > 0 && energy / double(n) > 1e6;
        },
        std::chrono::seconds(20)));
    // Neither side saw the network side break; the peer heard of nothing.
    const auto messages = ownerA.Messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const auto& m) { return m.first == kMsgEngineFailure; }),
              1);
    for (const auto& m : messages) EXPECT_NE(m.first, kMsgConnectionLost);
    for (const auto& m : ownerB.Messages()) {
        EXPECT_NE(m.first, kMsgConnectionLost);
        EXPECT_NE(m.first, kMsgEngineFailure);
    }
    a.Stop();
    b.Stop();
}
