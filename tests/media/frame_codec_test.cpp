// The call codecs behind the frame interface: G.729 exactly as the engine has
// always coded it, Opus keeping speech and covering lost frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "codec/g729.h"
#include "media/frame_codec.h"
#include "media/speech_codec.h"
#include "tools/wav_io.h"

namespace kestrona {
namespace {

std::vector<int16_t> Speech(const char* name, int rate) {
    kestrona::tools::PcmAudio audio;
    std::string error;
    const std::string path = std::string(KESTRONA_SOURCE_DIR) + "/tests/data/" + name;
    EXPECT_TRUE(kestrona::tools::ReadPcmFile(path, rate, &audio, &error)) << error;
    EXPECT_EQ(audio.rate, rate);
    return audio.samples;
}

struct Coded {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<int16_t> decoded;  // every frame decoded as received
};

Coded CodeAll(FrameCodec& codec, const std::vector<int16_t>& pcm) {
    Coded c;
    const std::size_t n = codec.FrameSamples();
    std::vector<uint8_t> out(codec.MaxFrameBytes());
    std::vector<int16_t> frame(n);
    for (std::size_t at = 0; at + n <= pcm.size(); at += n) {
        const std::size_t len = codec.Encode(std::span(pcm).subspan(at, n), out);
        EXPECT_GT(len, 0u);
        EXPECT_LE(len, codec.MaxFrameBytes());
        c.frames.emplace_back(out.begin(), out.begin() + len);
        EXPECT_TRUE(codec.Decode(c.frames.back(), frame));
        c.decoded.insert(c.decoded.end(), frame.begin(), frame.end());
    }
    return c;
}

// The largest normalised correlation of out, delayed by 0..max_lag samples,
// with in; *lag gets that delay.
double BestCorrelation(const std::vector<int16_t>& in, const std::vector<int16_t>& out, int max_lag,
                       int* lag) {
    double best = -1;
    for (int d = 0; d <= max_lag; ++d) {
        double xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i + d < out.size() && i < in.size(); ++i) {
            const double x = in[i], y = out[i + d];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        const double r = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
        if (r > best) {
            best = r;
            *lag = d;
        }
    }
    return best;
}

double Energy(std::span<const int16_t> pcm) {
    double e = 0;
    for (int16_t s : pcm) {
        e += double(s) * s;
    }
    return e;
}

TEST(G729FrameCodec, CodesAndConcealsByteForByteAsTheSpeechCodec) {
    const auto pcm = Speech("speech_8k.wav", 8000);
    auto reference = MakePrivateSpeechCodec();
    reference->EncoderInit();
    reference->DecoderInit();
    auto codec = MakeG729FrameCodec(MakePrivateSpeechCodec(), 16000);
    ASSERT_TRUE(codec);
    EXPECT_EQ(codec->SampleRate(), 16000);
    ASSERT_EQ(codec->FrameSamples(), codec::kFrameSamples);
    ASSERT_EQ(codec->MaxFrameBytes(), std::size_t(codec::kFrameBytes));
    EXPECT_FALSE(codec->HasFec());

    uint8_t want[codec::kFrameBytes];
    uint8_t got[codec::kFrameBytes];
    int16_t want_pcm[codec::kFrameSamples];
    int16_t got_pcm[codec::kFrameSamples];
    std::size_t frames = 0;
    for (std::size_t at = 0; at + codec::kFrameSamples <= pcm.size();
         at += codec::kFrameSamples, ++frames) {
        reference->EncodeFrame(&pcm[at], want);
        ASSERT_EQ(codec->Encode(std::span(pcm).subspan(at, codec::kFrameSamples), got),
                  std::size_t(codec::kFrameBytes));
        ASSERT_TRUE(std::equal(want, want + codec::kFrameBytes, got)) << "frame " << frames;
        // Every ninth frame is lost, every thirteenth comes with a wrong length;
        // both are the decoder's erasure.
        const bool lost = frames % 9 == 4;
        const bool wrong_length = frames % 13 == 6;
        reference->DecodeFrame(want, want_pcm, lost || wrong_length ? 1 : 0);
        if (lost) {
            ASSERT_TRUE(frames % 2 ? codec->Conceal(got_pcm)
                                   : codec->DecodeFromNext(std::span(got), got_pcm));
        } else if (wrong_length) {
            ASSERT_FALSE(codec->Decode(std::span(got).first(9), got_pcm));
        } else {
            ASSERT_TRUE(codec->Decode(got, got_pcm));
        }
        ASSERT_TRUE(std::equal(want_pcm, want_pcm + codec::kFrameSamples, got_pcm))
            << "frame " << frames;
    }
    EXPECT_GT(frames, 500u);

    // Sizes that are not one frame are refused without coding.
    EXPECT_EQ(codec->Encode(std::span(pcm).first(79), got), 0u);
    EXPECT_EQ(codec->Encode(std::span(pcm).first(80), std::span(got).first(9)), 0u);
    EXPECT_FALSE(codec->Decode(got, std::span(got_pcm).first(79)));
}

TEST(OpusFrameCodec, SpeechAt16kHzKeepsItsWaveformInAbout24kbits) {
    const auto pcm = Speech("speech_16k.wav", 16000);
    auto codec = MakeOpusFrameCodec();
    ASSERT_TRUE(codec);
    EXPECT_EQ(codec->SampleRate(), 16000);
    EXPECT_EQ(codec->FrameSamples(), 320);
    EXPECT_TRUE(codec->HasFec());
    const Coded c = CodeAll(*codec, pcm);
    int lag = -1;
    const double r = BestCorrelation(pcm, c.decoded, 320, &lag);
    EXPECT_GT(r, 0.85) << "lag " << lag;
    // The coder's look-ahead, a few milliseconds.
    EXPECT_GT(lag, 0);
    EXPECT_LT(lag, 16 * 10);

    std::size_t bytes = 0;
    for (const auto& f : c.frames) {
        bytes += f.size();
    }
    const double kbits = bytes * 8.0 / (c.frames.size() * 0.020) / 1000;
    EXPECT_GT(kbits, 16);
    EXPECT_LT(kbits, 32);
}

TEST(OpusFrameCodec, EveryCallRateCodesTwentyMillisecondFrames) {
    for (int rate : {8000, 12000, 16000, 24000, 48000}) {
        OpusFrameSettings s;
        s.sample_rate = rate;
        auto codec = MakeOpusFrameCodec(s);
        ASSERT_TRUE(codec) << rate;
        ASSERT_EQ(codec->FrameSamples(), rate / 50);
        std::vector<int16_t> tone(rate / 2);  // half a second of 300 Hz
        for (std::size_t i = 0; i < tone.size(); ++i) {
            tone[i] = int16_t(8000 * std::sin(2 * M_PI * 300 * double(i) / rate));
        }
        const Coded c = CodeAll(*codec, tone);
        int lag = -1;
        EXPECT_GT(BestCorrelation(tone, c.decoded, rate / 50, &lag), 0.9) << rate;
    }
    for (int rate : {0, 11025, 22050, 44100, 96000}) {
        OpusFrameSettings s;
        s.sample_rate = rate;
        EXPECT_FALSE(MakeOpusFrameCodec(s)) << rate;
    }
    OpusFrameSettings s;
    s.complexity = 11;
    EXPECT_FALSE(MakeOpusFrameCodec(s));
}

// The loudest stretch of the corpus, where a loss is heard most.
std::vector<std::size_t> LossesInSpeech(const Coded& clean, std::size_t n) {
    std::vector<std::size_t> lost;
    double peak = 0;
    for (std::size_t k = 0; k < clean.frames.size(); ++k) {
        peak = std::max(peak, Energy(std::span(clean.decoded).subspan(k * n, n)));
    }
    for (std::size_t k = 5; k + 1 < clean.frames.size(); k += 6) {
        if (Energy(std::span(clean.decoded).subspan(k * n, n)) > peak / 100) {
            lost.push_back(k);
        }
    }
    return lost;
}

TEST(OpusFrameCodec, LostFramesAreFilledAndFecBeatsConcealment) {
    const auto pcm = Speech("speech_16k.wav", 16000);
    auto encoder = MakeOpusFrameCodec();
    ASSERT_TRUE(encoder);
    const Coded clean = CodeAll(*encoder, pcm);
    const std::size_t n = encoder->FrameSamples();
    const auto lost = LossesInSpeech(clean, n);
    ASSERT_GT(lost.size(), 10u);

    // Two receivers lose the same frames; one fills them from the next
    // frame's copy, the other conceals. Both are judged against the frames
    // decoded without loss.
    auto with_fec = MakeOpusFrameCodec();
    auto with_plc = MakeOpusFrameCodec();
    std::vector<int16_t> out(n);
    double fec_error = 0, plc_error = 0, lost_energy = 0, concealed_energy = 0;
    std::size_t next_loss = 0;
    for (std::size_t k = 0; k < clean.frames.size(); ++k) {
        const std::span<const int16_t> want = std::span(clean.decoded).subspan(k * n, n);
        if (next_loss < lost.size() && lost[next_loss] == k) {
            ++next_loss;
            ASSERT_TRUE(with_fec->DecodeFromNext(clean.frames[k + 1], out));
            for (std::size_t i = 0; i < n; ++i) {
                fec_error += std::pow(double(out[i]) - want[i], 2);
            }
            ASSERT_TRUE(with_plc->Conceal(out));
            // Concealment is not silence: after a voiced frame it goes on at
            // something well above the last bit of a 16-bit sample.
            EXPECT_GT(Energy(out) / double(n), 100.0) << "frame " << k;
            concealed_energy += Energy(out);
            for (std::size_t i = 0; i < n; ++i) {
                plc_error += std::pow(double(out[i]) - want[i], 2);
            }
            lost_energy += Energy(want);
            continue;
        }
        ASSERT_TRUE(with_fec->Decode(clean.frames[k], out));
        ASSERT_TRUE(with_plc->Decode(clean.frames[k], out));
    }
    // Error to signal over the lost frames, in dB.
    const double fec_db = 10 * std::log10(fec_error / lost_energy);
    const double plc_db = 10 * std::log10(plc_error / lost_energy);
    EXPECT_GT(concealed_energy, lost_energy / 10);
    EXPECT_LT(fec_db, plc_db - 3) << "FEC " << fec_db << " dB, PLC " << plc_db << " dB";
}

TEST(OpusFrameCodec, FramesNoPeerOfOursSendsAreConcealedAndTheCallGoesOn) {
    const auto pcm = Speech("speech_16k.wav", 16000);
    auto sender = MakeOpusFrameCodec();
    auto receiver = MakeOpusFrameCodec();
    const Coded clean = CodeAll(*sender, pcm);
    const std::size_t n = receiver->FrameSamples();
    std::vector<int16_t> out(n);
    const std::vector<std::vector<uint8_t>> junk = {
        {},                                                  // nothing
        {0x40, 1, 2, 3},                                     // a 10 ms frame
        {0x58, 1, 2, 3},                                     // a 60 ms frame
        {0x4b, 0x83, 1, 2, 3},                               // three 20 ms frames in one packet
        {0x4b},                                              // a packet cut short
        std::vector<uint8_t>(kOpusMaxFrameBytes + 1, 0x48),  // too long
    };
    std::vector<int16_t> decoded;
    for (std::size_t k = 0; k < clean.frames.size(); ++k) {
        if (k % 10 == 3) {
            const auto& bad = junk[(k / 10) % junk.size()];
            std::fill(out.begin(), out.end(), int16_t{12345});
            EXPECT_FALSE(receiver->Decode(bad, out)) << "frame " << k;
            EXPECT_EQ(std::count(out.begin(), out.end(), int16_t{12345}), 0);
            EXPECT_FALSE(receiver->DecodeFromNext(bad, out));
        } else {
            ASSERT_TRUE(receiver->Decode(clean.frames[k], out));
        }
        decoded.insert(decoded.end(), out.begin(), out.end());
    }
    // Apart from the holes the speech is still there.
    int lag = -1;
    EXPECT_GT(BestCorrelation(pcm, decoded, 320, &lag), 0.7);
    // A frame buffer of the wrong size is refused as such.
    EXPECT_FALSE(receiver->Decode(clean.frames[0], std::span(out).first(n - 1)));
    EXPECT_FALSE(receiver->Conceal(std::span(out).first(n - 1)));
    std::vector<uint8_t> room(kOpusMaxFrameBytes);
    EXPECT_EQ(sender->Encode(std::span(pcm).first(n - 1), room), 0u);
    std::vector<uint8_t> small(100);
    EXPECT_EQ(sender->Encode(std::span(pcm).first(n), small), 0u);
}

// A call's send path encodes while its receive path decodes, on two threads,
// with one codec object between them.
TEST(FrameCodecs, EncoderAndDecoderSidesRunAtTheSameTime) {
    const auto pcm = Speech("speech_16k.wav", 16000);
    std::vector<std::unique_ptr<FrameCodec>> codecs;
    codecs.push_back(MakeOpusFrameCodec());
    codecs.push_back(MakeG729FrameCodec(ProcessSpeechCodec()));
    for (auto& codec : codecs) {
        ASSERT_TRUE(codec);
        const std::size_t n = codec->FrameSamples();
        const auto sent = CodeAll(*codec, pcm);
        std::size_t encoded = 0, decoded = 0;
        {
            std::jthread sender([&] {
                std::vector<uint8_t> out(codec->MaxFrameBytes());
                for (std::size_t at = 0; at + n <= pcm.size(); at += n) {
                    encoded += codec->Encode(std::span(pcm).subspan(at, n), out) > 0;
                }
            });
            std::jthread receiver([&] {
                std::vector<int16_t> frame(n);
                for (const auto& f : sent.frames) {
                    decoded += codec->Decode(f, frame);
                }
            });
        }
        EXPECT_EQ(encoded, pcm.size() / n);
        EXPECT_EQ(decoded, sent.frames.size());
    }
}

}  // namespace
}  // namespace kestrona
