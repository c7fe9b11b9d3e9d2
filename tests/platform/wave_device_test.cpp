// The wave device layer: choosing a backend, the WAV helper, and the file
// devices' queue, reset, close and speaker-file behaviour.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "platform/audio_backend.h"
#include "platform/audio_backend_file.h"
#include "platform/wav_file.h"
#include "platform/wave_device.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using namespace kestrona;

namespace {

// Collects the buffers a device hands back.
struct DoneLog {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<WaveHeader*> done;
    WaveDoneCallback Callback() {
        return [this](WaveHeader& h) {
            std::lock_guard lock(mutex);
            done.push_back(&h);
            cv.notify_all();
        };
    }
    bool WaitFor(size_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(30), [&] { return done.size() >= n; });
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return done.size();
    }
};

struct Buffer {
    std::vector<uint8_t> bytes;
    WaveHeader header;
    explicit Buffer(size_t n) : bytes(n, 0xEE) {
        header.data = bytes.data();
        header.bufferLength = uint32_t(n);
    }
    int16_t Sample(size_t i) const { return int16_t(bytes[2 * i] | bytes[2 * i + 1] << 8); }
};

void WriteRaw(const fs::path& p, const std::vector<int16_t>& s) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(s.data()), std::streamsize(s.size() * 2));
}

std::vector<int16_t> ReadSpeaker(const fs::path& p) {
    PcmAudio a;
    std::string error;
    EXPECT_TRUE(ReadWavFile(p, a, error)) << error;
    return a.samples;
}

TEST(WavFile, RoundTripAndClearErrors) {
    kestrona::testing::TempDir dir;
    PcmAudio a;
    a.rate = 22050;
    a.samples = {0, 1, -1, 32767, -32768, 1234};
    std::string error;
    ASSERT_TRUE(WriteWavFile(dir.path() / "a.wav", a, error)) << error;
    EXPECT_EQ(fs::file_size(dir.path() / "a.wav"), 44u + 12u);
    PcmAudio b;
    ASSERT_TRUE(ReadWavFile(dir.path() / "a.wav", b, error)) << error;
    EXPECT_EQ(b.rate, 22050u);
    EXPECT_EQ(b.samples, a.samples);

    // Raw files are taken as they are; WAVs by their header.
    WriteRaw(dir.path() / "r.raw", {5, 6, 7});
    PcmAudio r;
    ASSERT_TRUE(ReadWavOrRawFile(dir.path() / "r.raw", r, error));
    EXPECT_EQ(r.rate, 0u);
    EXPECT_EQ(r.samples, (std::vector<int16_t>{5, 6, 7}));
    ASSERT_TRUE(ReadWavOrRawFile(dir.path() / "a.wav", r, error));
    EXPECT_EQ(r.samples, a.samples);

    EXPECT_FALSE(ReadWavFile(dir.path() / "missing.wav", b, error));
    EXPECT_NE(error.find("missing.wav"), std::string::npos);
    EXPECT_FALSE(ReadWavFile(dir.path() / "r.raw", b, error));
    EXPECT_NE(error.find("RIFF"), std::string::npos);
    // An 8-bit WAV is refused, not misread.
    std::vector<uint8_t> eight = WavHeaderBytes(8000, 1, 4);
    eight[34] = 8;
    eight.insert(eight.end(), {1, 2, 3, 4});
    std::ofstream(dir.path() / "8.wav", std::ios::binary)
        .write(reinterpret_cast<const char*>(eight.data()), std::streamsize(eight.size()));
    EXPECT_FALSE(ReadWavFile(dir.path() / "8.wav", b, error));
    EXPECT_NE(error.find("16-bit"), std::string::npos);
    // So is a rate that no sound device plays: a ring sound's length is
    // divided by it, a microphone file is resampled by it.
    for (uint32_t rate : {0u, 1u, 400000u}) {
        std::vector<uint8_t> odd = WavHeaderBytes(rate, 1, 4);
        odd.insert(odd.end(), {1, 2, 3, 4});
        std::ofstream(dir.path() / "odd.wav", std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(odd.data()), std::streamsize(odd.size()));
        EXPECT_FALSE(ReadWavFile(dir.path() / "odd.wav", b, error)) << rate;
        EXPECT_FALSE(ReadWavOrRawFile(dir.path() / "odd.wav", b, error)) << rate;
        EXPECT_NE(error.find("rate"), std::string::npos);
    }
}

TEST(AudioBackendChoice, FromTheEnvironmentValue) {
    std::string error;
    EXPECT_EQ(MakeAudioBackend("null", &error)->Name(), "null");
    EXPECT_TRUE(error.empty());
    auto file = MakeAudioBackend("file:mic.wav,out.wav", &error);
    ASSERT_EQ(file->Name(), "file");
    EXPECT_EQ(static_cast<FileAudioBackend&>(*file).MicPath(), "mic.wav");
    EXPECT_EQ(static_cast<FileAudioBackend&>(*file).SpeakerPath(), "out.wav");
    EXPECT_EQ(MakeAudioBackend("portaudio", &error)->Name(), "portaudio");
    EXPECT_EQ(MakeAudioBackend("pulse", &error)->Name(), "pulse");
    for (const char* bad : {"file:only-one", "alsa", "FILE:a,b"}) {
        error.clear();
        EXPECT_EQ(MakeAudioBackend(bad, &error)->Name(), "null") << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(FileWaveIn, FillsBuffersInOrderFromTheFileThenSilence) {
    kestrona::testing::TempDir dir;
    std::vector<int16_t> mic(1200);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = int16_t(i + 1);
    WriteRaw(dir.path() / "mic.raw", mic);
    auto backend = MakeFileAudioBackend((dir.path() / "mic.raw").string(), "");
    DoneLog log;
    WaveResult r;
    auto dev = backend->OpenWaveIn(WaveFormat::Pcm16Mono(8000), log.Callback(), &r);
    ASSERT_TRUE(dev);
    std::vector<std::unique_ptr<Buffer>> bufs;
    for (int i = 0; i < 3; ++i) {
        bufs.push_back(std::make_unique<Buffer>(1600));  // 800 samples each
        EXPECT_EQ(dev->AddBuffer(bufs.back()->header), WaveResult::kNotPrepared);
        ASSERT_EQ(dev->Prepare(bufs.back()->header), WaveResult::kOk);
        ASSERT_EQ(dev->AddBuffer(bufs.back()->header), WaveResult::kOk);
    }
    ASSERT_EQ(dev->Start(), WaveResult::kOk);
    ASSERT_TRUE(log.WaitFor(3));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log.done[size_t(i)], &bufs[size_t(i)]->header);
        EXPECT_EQ(bufs[size_t(i)]->header.bytesRecorded, 1600u);
        EXPECT_TRUE(bufs[size_t(i)]->header.flags & WaveHeader::kDone);
    }
    for (size_t k = 0; k < 2400; ++k) {
        int16_t expected = k < 1200 ? int16_t(k + 1) : 0;
        ASSERT_EQ(bufs[k / 800]->Sample(k % 800), expected) << k;
    }
    EXPECT_EQ(dev->Close(), WaveResult::kOk);
}

TEST(FileWaveIn, ResetGivesEveryQueuedBufferBackBeforeReturning) {
    auto backend = MakeFileAudioBackend("", "");
    DoneLog log;
    WaveResult r;
    auto dev = backend->OpenWaveIn(WaveFormat::Pcm16Mono(8000), log.Callback(), &r);
    ASSERT_TRUE(dev);
    std::vector<std::unique_ptr<Buffer>> bufs;
    for (int i = 0; i < 4; ++i) {
        bufs.push_back(std::make_unique<Buffer>(80000));  // 5 s each
        dev->Prepare(bufs.back()->header);
        dev->AddBuffer(bufs.back()->header);
    }
    dev->Start();
    EXPECT_EQ(dev->Close(), WaveResult::kStillPlaying);
    ASSERT_EQ(dev->Reset(), WaveResult::kOk);
    EXPECT_EQ(log.Count(), 4u);
    for (auto& b : bufs) {
        EXPECT_LT(b->header.bytesRecorded, 80000u);  // partly filled at most
        EXPECT_FALSE(b->header.flags & WaveHeader::kInQueue);
    }
    EXPECT_EQ(dev->Close(), WaveResult::kOk);
    EXPECT_EQ(dev->AddBuffer(bufs[0]->header), WaveResult::kInvalidHandle);
    EXPECT_EQ(log.Count(), 4u);
}

TEST(FileWaveIn, MissingMicrophoneFileIsAnOpenFailureWithAReason) {
    auto backend = MakeFileAudioBackend("/nonexistent/mic.wav", "");
    WaveResult r = WaveResult::kOk;
    std::string why;
    EXPECT_EQ(backend->QueryWaveIn(WaveFormat::Pcm16Mono(8000)), WaveResult::kOk);
    EXPECT_EQ(backend->OpenWaveIn(
                  WaveFormat::Pcm16Mono(8000), [](WaveHeader&) {}, &r, &why),
              nullptr);
    EXPECT_EQ(r, WaveResult::kOpenFailed);
    EXPECT_NE(why.find("/nonexistent/mic.wav"), std::string::npos);
    EXPECT_EQ(backend->QueryWaveIn(WaveFormat::Pcm16Mono(96000)), WaveResult::kBadFormat);
}

// Plays one buffer of n samples of value v on a fresh device and closes it.
void PlayOnce(AudioBackend& backend, uint32_t rate, size_t n, int16_t v) {
    DoneLog log;
    WaveResult r;
    auto dev = backend.OpenWaveOut(WaveFormat::Pcm16Mono(rate), log.Callback(), &r);
    ASSERT_TRUE(dev);
    std::vector<int16_t> pcm(n, v);
    WaveHeader h;
    h.data = reinterpret_cast<uint8_t*>(pcm.data());
    h.bufferLength = uint32_t(n * 2);
    dev->Prepare(h);
    ASSERT_EQ(dev->Write(h), WaveResult::kOk);
    ASSERT_TRUE(log.WaitFor(1));
    EXPECT_EQ(dev->Close(), WaveResult::kOk);
}

TEST(FileWaveOut, LaterDevicesAppendAfterTheEndConvertedToTheFilesRate) {
    kestrona::testing::TempDir dir;
    const fs::path speaker = dir.path() / "spk.wav";
    auto backend = MakeFileAudioBackend("", speaker.string());
    PlayOnce(*backend, 8000, 800, 5);
    auto first = ReadSpeaker(speaker);
    EXPECT_EQ(std::count(first.begin(), first.end(), 5), 800);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // no device open: no gap
    PlayOnce(*backend, 16000, 1600, 7);
    PcmAudio all;
    std::string error;
    ASSERT_TRUE(ReadWavFile(speaker, all, error));
    EXPECT_EQ(all.rate, 8000u);
    auto last5 = std::find(all.samples.rbegin(), all.samples.rend(), 5);
    auto first7 = std::find(all.samples.begin(), all.samples.end(), 7);
    ASSERT_NE(first7, all.samples.end());
    // The pause between the devices left at most a moment's silence, far
    // less than the 300 ms it lasted.
    EXPECT_LT(first7 - last5.base(), 800);
    EXPECT_NEAR(std::count(all.samples.begin(), all.samples.end(), 7), 800, 2);

    // Removed while closed: the next device starts a new file.
    fs::remove(speaker);
    PlayOnce(*backend, 8000, 400, 9);
    auto fresh = ReadSpeaker(speaker);
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), 9), 400);
    EXPECT_EQ(std::count(fresh.begin(), fresh.end(), 5), 0);
}

TEST(FileWaveOut, ResetReturnsQueuedBuffersAndAnUnwritableFileFailsToOpen) {
    kestrona::testing::TempDir dir;
    auto backend = MakeFileAudioBackend("", (dir.path() / "spk.wav").string());
    DoneLog log;
    WaveResult r;
    auto dev = backend->OpenWaveOut(WaveFormat::Pcm16Mono(8000), log.Callback(), &r);
    ASSERT_TRUE(dev);
    std::vector<std::unique_ptr<Buffer>> bufs;
    for (int i = 0; i < 4; ++i) {
        bufs.push_back(std::make_unique<Buffer>(80000));
        dev->Prepare(bufs.back()->header);
        ASSERT_EQ(dev->Write(bufs.back()->header), WaveResult::kOk);
    }
    ASSERT_EQ(dev->Reset(), WaveResult::kOk);
    EXPECT_EQ(log.Count(), 4u);
    EXPECT_EQ(dev->Close(), WaveResult::kOk);

    auto bad = MakeFileAudioBackend("", (dir.path() / "no-such-dir" / "spk.wav").string());
    std::string why;
    EXPECT_EQ(bad->OpenWaveOut(WaveFormat::Pcm16Mono(8000), log.Callback(), &r, &why), nullptr);
    EXPECT_EQ(r, WaveResult::kOpenFailed);
    EXPECT_NE(why.find("no-such-dir"), std::string::npos);
}

}  // namespace
