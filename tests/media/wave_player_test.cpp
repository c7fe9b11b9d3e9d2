// Playing a call's two recordings at once on the file devices.
#include "media/wave_player.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "media_test_util.h"
#include "platform/audio_backend_file.h"
#include "platform/background_work.h"
#include "support/proxy_fixtures.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

// The file backend, with a log of the order in which played buffers came
// back (by length), so a test can tell which recording ended first.
class LoggingBackend : public AudioBackend {
  public:
    explicit LoggingBackend(std::shared_ptr<AudioBackend> inner) : m_inner(std::move(inner)) {}
    int WaveInDeviceCount() override { return m_inner->WaveInDeviceCount(); }
    int WaveOutDeviceCount() override { return m_inner->WaveOutDeviceCount(); }
    WaveResult QueryWaveIn(const WaveFormat& f) override { return m_inner->QueryWaveIn(f); }
    WaveResult QueryWaveOut(const WaveFormat& f) override { return m_inner->QueryWaveOut(f); }
    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat& f, WaveDoneCallback done,
                                             WaveResult* r, std::string* e) override {
        return m_inner->OpenWaveIn(f, std::move(done), r, e);
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat& f, WaveDoneCallback done,
                                               WaveResult* r, std::string* e) override {
        ++m_opened;
        return m_inner->OpenWaveOut(
            f,
            [this, done](WaveHeader& h) {
                {
                    std::lock_guard lock(m_mutex);
                    m_finished.push_back(h.bufferLength);
                }
                done(h);
            },
            r, e);
    }
    std::string Name() const override { return "logging"; }
    std::vector<uint32_t> Finished() {
        std::lock_guard lock(m_mutex);
        return m_finished;
    }
    int Opened() const { return m_opened; }

  private:
    std::shared_ptr<AudioBackend> m_inner;
    std::mutex m_mutex;
    std::vector<uint32_t> m_finished;
    std::atomic<int> m_opened{0};
};

struct Recordings {
    test::TempDir dir;
    fs::path in = dir.Path() / "20030517091503in";
    fs::path out = dir.Path() / "20030517091503out";
    fs::path speaker = dir.Path() / "speaker.wav";
    std::vector<int16_t> inPcm = std::vector<int16_t>(1600, 1000);  // 0.2 s
    std::vector<int16_t> outPcm = std::vector<int16_t>(4000, 100);  // 0.5 s
    Recordings() {
        EXPECT_TRUE(WriteRaw(in, inPcm));
        EXPECT_TRUE(WriteRaw(out, outPcm));
    }
};

TEST(WavePlayer, PlaysBothFilesMixedAndPostsOncePerFileShorterFirst) {
    Recordings rec;
    auto backend = std::make_shared<LoggingBackend>(MakeFileAudioBackend("", rec.speaker.string()));
    RecordingOwner owner;
    CWavePlayer player;
    player.SetAudioBackend(backend);
    player.Play(rec.in, rec.out, 8000, &owner);
    EXPECT_TRUE(player.IsPlaying());
    ASSERT_TRUE(owner.WaitFor(kMsgPlaybackDone, 2));
    EXPECT_EQ(backend->Finished(), (std::vector<uint32_t>{3200, 8000}));
    // Still "playing" until the owner reacts with Stop.
    EXPECT_TRUE(player.IsPlaying());
    player.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !player.IsPlaying(); }));
    EXPECT_EQ(owner.Count(kMsgPlaybackDone), 2);

    // Both directions were heard together (the two devices start within a
    // few samples of each other): all of both files, mostly overlapping.
    auto heard = ReadSpeaker(rec.speaker);
    long total = 0;
    for (int16_t v : heard) total += v;
    EXPECT_EQ(total, 1600L * 1000 + 4000L * 100);
    EXPECT_GT(std::count(heard.begin(), heard.end(), int16_t(1100)), 1500);
}

TEST(WavePlayer, MissingOutFilePlaysOnlyTheInFile) {
    Recordings rec;
    fs::remove(rec.out);
    RecordingOwner owner;
    CWavePlayer player;
    player.SetAudioBackend(MakeFileAudioBackend("", rec.speaker.string()));
    player.Play(rec.in, rec.out, 8000, &owner);
    ASSERT_TRUE(owner.WaitFor(kMsgPlaybackDone, 1));
    player.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !player.IsPlaying(); }));
    EXPECT_EQ(owner.Count(kMsgPlaybackDone), 1);
}

TEST(WavePlayer, StopCutsPlaybackQuietlyAndPlayAfterStopStartsAfresh) {
    Recordings rec;
    RecordingOwner owner;
    CWavePlayer player;
    player.Stop();  // nothing playing: nothing happens
    EXPECT_FALSE(player.IsPlaying());

    auto backend = std::make_shared<LoggingBackend>(MakeFileAudioBackend("", rec.speaker.string()));
    player.SetAudioBackend(backend);
    player.Play(rec.in, rec.out, 8000, &owner);
    player.Stop();
    // Play at once after Stop: fresh devices, heard from the beginning.
    player.Play(rec.in, rec.out, 8000, &owner);
    EXPECT_TRUE(player.IsPlaying());
    ASSERT_TRUE(owner.WaitFor(kMsgPlaybackDone, 2));
    EXPECT_EQ(backend->Opened(), 4);
    // The stopped playback's buffers came back without a message: only the
    // second Play's two finishes were posted.
    player.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !player.IsPlaying(); }));
    EXPECT_EQ(owner.Count(kMsgPlaybackDone), 2);
    BackgroundWork::Process().Drain();  // the first stop's devices too
    auto finished = backend->Finished();
    ASSERT_EQ(finished.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(finished.end() - 2, finished.end()),
              (std::vector<uint32_t>{3200, 8000}));
}

TEST(WavePlayer, DestroyedMidPlaybackPostsNothingLater) {
    Recordings rec;
    RecordingOwner owner;
    {
        CWavePlayer player;
        player.SetAudioBackend(MakeFileAudioBackend("", rec.speaker.string()));
        player.Play(rec.in, rec.out, 8000, &owner);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(owner.Count(kMsgPlaybackDone), 0);
}

TEST(WavePlayer, NoDeviceShowsTheOpenFailure) {
    Recordings rec;
    RecordingOwner owner;
    CWavePlayer player;
    player.SetAudioBackend(MakeNullAudioBackend());
    player.Play(rec.in, rec.out, 8000, &owner);
    EXPECT_FALSE(player.IsPlaying());
    EXPECT_EQ(owner.Alerts(), std::vector<std::string>{"Wave Out Device Open Failed"});
}

}  // namespace
