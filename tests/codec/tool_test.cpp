// kestrona-codec as its users run it: files in, files out, clear refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "codec_test_util.h"
#include "tools/wav_io.h"

namespace kestrona::codec {
namespace {

using testing::RunCommand;
using testing::ScratchPath;
using testing::SourcePath;

std::string Tool() {
    return KESTRONA_CODEC_TOOL;
}

bool Exists(const std::string& path) {
    return std::ifstream(path).good();
}

size_t FileSize(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    return f ? static_cast<size_t>(f.tellg()) : 0;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string error;
    ASSERT_TRUE(kestrona::tools::WriteBytes(path, bytes.data(), bytes.size(), &error)) << error;
}

class ToolTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const std::string& f : files_) {
            std::remove(f.c_str());
        }
    }
    std::string Scratch(const std::string& name) {
        files_.push_back(ScratchPath(name));
        return files_.back();
    }
    std::vector<std::string> files_;
};

TEST_F(ToolTest, EncodesWavAndDecodesToWavAndRaw) {
    const std::string wav = SourcePath("tests/data/speech_8k.wav");
    const std::string bits = Scratch("speech.bit");
    std::string err;
    ASSERT_EQ(RunCommand(Tool() + " encode '" + wav + "' '" + bits + "'", &err), 0) << err;
    kestrona::tools::PcmAudio in;
    ASSERT_TRUE(kestrona::tools::ReadPcmFile(wav, 8000, &in, &err)) << err;
    const size_t frames = (in.samples.size() + 79) / 80;
    EXPECT_EQ(FileSize(bits), frames * 10);
    EXPECT_NE(err.find("encoded " + std::to_string(frames) + " frames"), std::string::npos) << err;
    EXPECT_NE(err.find("real-time factor"), std::string::npos) << err;

    const std::string out_wav = Scratch("speech_out.wav");
    ASSERT_EQ(RunCommand(Tool() + " decode '" + bits + "' '" + out_wav + "'", &err), 0) << err;
    EXPECT_NE(err.find("decoded " + std::to_string(frames) + " frames"), std::string::npos);
    kestrona::tools::PcmAudio out;
    ASSERT_TRUE(kestrona::tools::ReadPcmFile(out_wav, 0, &out, &err)) << err;
    EXPECT_TRUE(out.was_wav);
    EXPECT_EQ(out.rate, 8000);
    EXPECT_EQ(out.samples.size(), frames * 80);

    const std::string out_raw = Scratch("speech_out.pcm");
    ASSERT_EQ(RunCommand(Tool() + " decode '" + bits + "' '" + out_raw + "'", &err), 0) << err;
    EXPECT_EQ(FileSize(out_raw), frames * 160);
}

TEST_F(ToolTest, RawInputAndOtherRatesPassThrough) {
    const std::string wav16 = SourcePath("tests/data/speech_16k.wav");
    const std::string bits = Scratch("s16.bit");
    const std::string out = Scratch("s16_out.wav");
    std::string err;
    ASSERT_EQ(RunCommand(Tool() + " encode '" + wav16 + "' '" + bits + "'", &err), 0) << err;
    EXPECT_NE(err.find("at 16000 Hz"), std::string::npos) << err;
    ASSERT_EQ(RunCommand(Tool() + " decode --rate 16000 '" + bits + "' '" + out + "'", &err), 0)
        << err;
    kestrona::tools::PcmAudio audio;
    ASSERT_TRUE(kestrona::tools::ReadPcmFile(out, 0, &audio, &err)) << err;
    EXPECT_EQ(audio.rate, 16000);

    // Raw input: 200 samples make three frames, the last padded with silence.
    const std::string raw = Scratch("short.raw");
    WriteFile(raw, std::vector<uint8_t>(400, 0x11));
    ASSERT_EQ(RunCommand(Tool() + " encode '" + raw + "' '" + bits + "'", &err), 0) << err;
    EXPECT_EQ(FileSize(bits), 30u);
    EXPECT_NE(err.find("40 samples of silence"), std::string::npos) << err;
}

TEST_F(ToolTest, BadFramesAreConcealed) {
    const std::string bits = Scratch("bf.bit");
    const std::string clean = Scratch("bf_clean.pcm");
    const std::string lossy = Scratch("bf_lossy.pcm");
    std::string err;
    ASSERT_EQ(RunCommand(Tool() + " encode '" + SourcePath("tests/data/speech_8k.wav") + "' '" +
                         bits + "'"),
              0);
    ASSERT_EQ(RunCommand(Tool() + " decode '" + bits + "' '" + clean + "'"), 0);
    ASSERT_EQ(RunCommand(Tool() + " decode --bad-frames 100,200-209 '" + bits + "' '" + lossy + "'",
                         &err),
              0)
        << err;
    EXPECT_NE(err.find("11 marked lost"), std::string::npos) << err;
    std::vector<uint8_t> a;
    std::vector<uint8_t> b;
    ASSERT_TRUE(kestrona::tools::ReadBytes(clean, &a, &err));
    ASSERT_TRUE(kestrona::tools::ReadBytes(lossy, &b, &err));
    ASSERT_EQ(a.size(), b.size());
    // Identical up to the first lost frame, different from there on.
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 100 * 160, b.begin()));
    EXPECT_FALSE(std::equal(a.begin() + 100 * 160, a.begin() + 101 * 160, b.begin() + 100 * 160));

    for (const char* list : {"", "x", "5-3", "1,,2", "99999"}) {
        EXPECT_NE(RunCommand(Tool() + " decode --bad-frames '" + std::string(list) + "' '" + bits +
                                 "' '" + lossy + "'",
                             &err),
                  0)
            << list;
        EXPECT_NE(err.find("--bad-frames"), std::string::npos) << err;
    }
}

TEST_F(ToolTest, RefusesBadInputWithAReason) {
    std::string err;
    const std::string out = Scratch("never.pcm");

    // A coded file that is not whole frames: nothing decoded, nothing written.
    const std::string ragged = Scratch("ragged.bit");
    WriteFile(ragged, std::vector<uint8_t>(43, 0));
    EXPECT_EQ(RunCommand(Tool() + " decode '" + ragged + "' '" + out + "'", &err), 1);
    EXPECT_NE(err.find("3 bytes left over"), std::string::npos) << err;
    EXPECT_NE(err.find("nothing decoded"), std::string::npos) << err;
    EXPECT_FALSE(Exists(out));

    // A stereo WAV.
    const std::string stereo = Scratch("stereo.wav");
    std::vector<uint8_t> h = {'R',  'I',  'F', 'F', 40, 0,    0, 0, 'W', 'A', 'V', 'E',
                              'f',  'm',  't', ' ', 16, 0,    0, 0, 1,   0,   2,   0,
                              0x40, 0x1F, 0,   0,   0,  0x7D, 0, 0, 4,   0,   16,  0,
                              'd',  'a',  't', 'a', 4,  0,    0, 0, 1,   2,   3,   4};
    WriteFile(stereo, h);
    EXPECT_EQ(RunCommand(Tool() + " encode '" + stereo + "' '" + out + "'", &err), 1);
    EXPECT_NE(err.find("2 channel"), std::string::npos) << err;
    EXPECT_NE(err.find("mono 16-bit"), std::string::npos) << err;
    // The same header with 8-bit samples.
    h[22] = 1;
    h[34] = 8;
    WriteFile(stereo, h);
    EXPECT_EQ(RunCommand(Tool() + " encode '" + stereo + "' '" + out + "'", &err), 1);
    EXPECT_NE(err.find("8-bit"), std::string::npos) << err;
    // A WAV whose data chunk is cut short.
    h[34] = 16;
    h[40] = 200;
    WriteFile(stereo, h);
    EXPECT_EQ(RunCommand(Tool() + " encode '" + stereo + "' '" + out + "'", &err), 1);
    EXPECT_NE(err.find("holds only"), std::string::npos) << err;
    // Raw PCM with half a sample.
    const std::string odd = Scratch("odd.raw");
    WriteFile(odd, std::vector<uint8_t>(161, 0));
    EXPECT_EQ(RunCommand(Tool() + " encode '" + odd + "' '" + out + "'", &err), 1);
    EXPECT_NE(err.find("odd number of bytes"), std::string::npos) << err;
    EXPECT_FALSE(Exists(out));

    // Missing input.
    EXPECT_EQ(
        RunCommand(Tool() + " encode '" + ScratchPath("missing.wav") + "' '" + out + "'", &err), 1);
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;
    EXPECT_EQ(
        RunCommand(Tool() + " decode '" + ScratchPath("missing.bit") + "' '" + out + "'", &err), 1);
    EXPECT_FALSE(Exists(out));

    // A full disk: the decoded audio that does not fit is an error, not a
    // shorter file reported as done.
    if (Exists("/dev/full")) {
        const std::string bits = Scratch("full.bit");
        WriteFile(bits, std::vector<uint8_t>(10 * 1000, 0x55));
        EXPECT_EQ(RunCommand(Tool() + " decode '" + bits + "' /dev/full", &err), 1);
        EXPECT_NE(err.find("write failed"), std::string::npos) << err;
    }

    // Usage errors.
    EXPECT_EQ(RunCommand(Tool() + " transcode a b", &err), 2);
    EXPECT_EQ(RunCommand(Tool() + " encode onlyone", &err), 2);
    EXPECT_EQ(RunCommand(Tool() + " decode a b --rate zero", &err), 2);
}

}  // namespace
}  // namespace kestrona::codec
