// What a call's two codecs do to wideband speech, and what Opus costs.
//
// BM_Opus*: time per 20 ms frame of the Opus call codec at 16 kHz.
//
// Then, on the 16 kHz speech corpus (tests/data/speech_16k.wav and
// speech_female_16k.wav), each file coded on its own as one call:
//   Opus     16 kHz through the Opus call codec;
//   G.729    resampled to 8 kHz, through the G.729 call codec, resampled
//            back to 16 kHz; everything above 4 kHz is lost on the way, which
//            the measures are to show;
//   8 kHz    only the resampling to 8 kHz and back, which is what G.729 would
//            score if it coded its band perfectly.
// Each output is aligned to the original by the delay (0 to 40 ms) of the
// largest cross-correlation, then compared over 0-7 kHz by
//   LSD      log-spectral distance (Gray and Markel): per frame the RMS over
//            the frequency bins of the difference of the two power spectra
//            in dB, averaged over the frames. Frames of 32 ms, Hann window,
//            hop 16 ms, 512-point DFT, bins 0 to 7 kHz; power floored at
//            80 dB below the loudest bin of the original, so that a bin the
//            codec leaves empty counts as 80 dB down and not as infinity.
//            Lower is better.
//   segSNR   segmental SNR (Hansen and Pellom): per 20 ms frame, without
//            overlap, 10 log10 of the original's energy over the error's,
//            clamped to [-10, 35] dB, averaged over the frames; both signals
//            low-passed at 7 kHz first. Higher is better.
// Both are averaged over the frames where the original is speaking: within
// 40 dB of its loudest frame (the pauses between words are digital silence,
// on which neither measure says anything about the codec).
// Then the CPU time of the Opus call (encode and decode of 20 ms frames) as a
// share of one core, the median of --cpu_rounds=N (default 9) passes over the
// corpus, and the bytes per second it sent. --quality=0 skips all of this;
// --complexity=N, --bitrate=B and --loss=P code Opus at another
// complexity, bit rate or expected loss (0 sends no FEC).
#include <benchmark/benchmark.h>
#include <opus.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "media/frame_codec.h"
#include "media/frame_records.h"
#include "media/speech_codec.h"
#include "tools/wav_io.h"

namespace {

using Signal = std::vector<double>;

constexpr int kRate = 16000;
const char* const kCorpus[] = {"speech_16k.wav", "speech_female_16k.wav"};

int g_complexity = kestrona::OpusFrameSettings{}.complexity;
int g_loss = kestrona::OpusFrameSettings{}.expected_loss_pct;
int g_bitrate = kestrona::OpusFrameSettings{}.bitrate;

std::vector<std::vector<int16_t>> Corpus() {
    std::vector<std::vector<int16_t>> out;
    for (const char* name : kCorpus) {
        kestrona::tools::PcmAudio audio;
        std::string error;
        const std::string path = std::string(KESTRONA_SOURCE_DIR) + "/tests/data/" + name;
        if (!kestrona::tools::ReadPcmFile(path, kRate, &audio, &error) || audio.rate != kRate) {
            std::fprintf(stderr, "%s: not 16 kHz speech (%s); left out\n", name, error.c_str());
            continue;
        }
        out.push_back(std::move(audio.samples));
    }
    return out;
}

std::unique_ptr<kestrona::FrameCodec> Opus() {
    kestrona::OpusFrameSettings s;
    s.complexity = g_complexity;
    s.expected_loss_pct = g_loss;
    s.bitrate = g_bitrate;
    return kestrona::MakeOpusFrameCodec(s);
}

// --- Filters and resampling --------------------------------------------------

double Bessel0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// A linear-phase low-pass FIR: the ideal (sinc) response cut at cutoff
// (a fraction of the sample rate) under a Kaiser window; 2 * half + 1 taps,
// unit gain at 0 Hz.
std::vector<double> LowPass(double cutoff, int half, double beta) {
    std::vector<double> h(2 * half + 1);
    double sum = 0;
    for (int n = -half; n <= half; ++n) {
        const double t = double(n) / half;
        const double window = Bessel0(beta * std::sqrt(std::max(0.0, 1 - t * t))) / Bessel0(beta);
        const double ideal = n == 0 ? 2 * cutoff : std::sin(2 * M_PI * cutoff * n) / (M_PI * n);
        h[n + half] = ideal * window;
        sum += h[n + half];
    }
    for (double& v : h) {
        v /= sum;
    }
    return h;
}

// Filtering with the FIR centred on each sample, so that nothing here adds
// delay; the signal is taken as zero beyond its ends.
Signal Filter(const Signal& x, const std::vector<double>& h) {
    const int half = int(h.size() / 2);
    Signal y(x.size());
    for (std::size_t m = 0; m < x.size(); ++m) {
        double acc = 0;
        for (int k = -half; k <= half; ++k) {
            const long i = long(m) - k;
            if (i >= 0 && i < long(x.size())) {
                acc += h[k + half] * x[i];
            }
        }
        y[m] = acc;
    }
    return y;
}

// The anti-aliasing and the interpolation filter of the 2:1 steps: pass to
// 3.6 kHz, stop from 4 kHz, about 80 dB down.
const std::vector<double>& HalfBand() {
    static const std::vector<double> h = LowPass(3800.0 / kRate, 96, 8.0);
    return h;
}

Signal Downsample2(const Signal& x) {
    const Signal f = Filter(x, HalfBand());
    Signal y(x.size() / 2);
    for (std::size_t m = 0; m < y.size(); ++m) {
        y[m] = f[2 * m];
    }
    return y;
}

Signal Upsample2(const Signal& x) {
    Signal z(2 * x.size(), 0.0);
    for (std::size_t m = 0; m < x.size(); ++m) {
        z[2 * m] = 2 * x[m];  // the zeros between take half the energy
    }
    return Filter(z, HalfBand());
}

Signal ToSignal(std::span<const int16_t> pcm) {
    return Signal(pcm.begin(), pcm.end());
}

std::vector<int16_t> ToPcm(const Signal& x) {
    std::vector<int16_t> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        out[i] = int16_t(std::clamp(std::lround(x[i]), -32768L, 32767L));
    }
    return out;
}

// --- The two codecs over a whole file ----------------------------------------

struct CodedClip {
    Signal decoded;
    std::size_t bytes = 0;
    std::size_t frames = 0;
    std::size_t wideband = 0;  // Opus frames that carry 0-8 kHz
};

CodedClip RunCodec(kestrona::FrameCodec& codec, const std::vector<int16_t>& pcm) {
    CodedClip c;
    const std::size_t n = codec.FrameSamples();
    std::vector<uint8_t> coded(codec.MaxFrameBytes());
    std::vector<int16_t> frame(n);
    for (std::size_t at = 0; at + n <= pcm.size(); at += n) {
        const std::size_t len = codec.Encode(std::span(pcm).subspan(at, n), coded);
        codec.Decode(std::span(coded).first(len), frame);
        c.decoded.insert(c.decoded.end(), frame.begin(), frame.end());
        c.bytes += len;
        ++c.frames;
        if (codec.HasFec() && len > 0) {  // Opus
            c.wideband += opus_packet_get_bandwidth(coded.data()) == OPUS_BANDWIDTH_WIDEBAND;
        }
    }
    return c;
}

CodedClip RunG729Wideband(const std::vector<int16_t>& pcm16) {
    const std::vector<int16_t> pcm8 = ToPcm(Downsample2(ToSignal(pcm16)));
    auto g729 = kestrona::MakeG729FrameCodec(kestrona::MakePrivateSpeechCodec(), 8000);
    CodedClip c = RunCodec(*g729, pcm8);
    // Played at 16 kHz as 16-bit samples, like everything else.
    c.decoded = ToSignal(ToPcm(Upsample2(c.decoded)));
    return c;
}

// --- Alignment and the measures ----------------------------------------------

int BestDelay(const Signal& ref, const Signal& out, int max_delay) {
    int best = 0;
    double best_r = -2;
    for (int d = 0; d <= max_delay; ++d) {
        double xy = 0, xx = 0, yy = 0;
        for (std::size_t i = 0; i < ref.size() && i + d < out.size(); ++i) {
            xy += ref[i] * out[i + d];
            xx += ref[i] * ref[i];
            yy += out[i + d] * out[i + d];
        }
        const double r = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
        if (r > best_r) {
            best_r = r;
            best = d;
        }
    }
    return best;
}

// The original and the output from the delay on, cut to the same length.
void Align(Signal& ref, Signal& out, int delay) {
    out.erase(out.begin(), out.begin() + std::min<std::size_t>(delay, out.size()));
    const std::size_t n = std::min(ref.size(), out.size());
    ref.resize(n);
    out.resize(n);
}

// Frames of `length` samples every `hop` whose energy is within 40 dB of the
// loudest such frame.
std::vector<std::size_t> ActiveFrames(const Signal& ref, std::size_t length, std::size_t hop) {
    std::vector<double> energy;
    for (std::size_t at = 0; at + length <= ref.size(); at += hop) {
        double e = 0;
        for (std::size_t i = 0; i < length; ++i) {
            e += ref[at + i] * ref[at + i];
        }
        energy.push_back(e);
    }
    const double peak = energy.empty() ? 0 : *std::max_element(energy.begin(), energy.end());
    std::vector<std::size_t> active;
    for (std::size_t k = 0; k < energy.size(); ++k) {
        if (peak > 0 && energy[k] >= peak * 1e-4) {
            active.push_back(k * hop);
        }
    }
    return active;
}

// Power spectrum of one Hann-windowed frame, bins 0 .. last_bin.
void PowerSpectrum(const double* x, std::size_t n, std::size_t last_bin, std::vector<double>& out) {
    out.assign(last_bin + 1, 0.0);
    for (std::size_t k = 0; k <= last_bin; ++k) {
        double re = 0, im = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n));
            const double phase = 2 * M_PI * double(k) * double(i) / double(n);
            re += w * x[i] * std::cos(phase);
            im -= w * x[i] * std::sin(phase);
        }
        out[k] = re * re + im * im;
    }
}

double LogSpectralDistance(const Signal& ref, const Signal& out) {
    constexpr std::size_t kLength = 512, kHop = 256;
    constexpr std::size_t kLastBin = 7000 * kLength / kRate;  // 224: 7 kHz
    const auto active = ActiveFrames(ref, kLength, kHop);
    std::vector<std::vector<double>> pr, po;
    double peak = 0;
    for (std::size_t at : active) {
        pr.emplace_back();
        po.emplace_back();
        PowerSpectrum(&ref[at], kLength, kLastBin, pr.back());
        PowerSpectrum(&out[at], kLength, kLastBin, po.back());
        peak = std::max(peak, *std::max_element(pr.back().begin(), pr.back().end()));
    }
    const double floor = peak * 1e-8;
    double sum = 0;
    for (std::size_t f = 0; f < pr.size(); ++f) {
        double sq = 0;
        for (std::size_t k = 0; k <= kLastBin; ++k) {
            const double d = 10 * std::log10(std::max(pr[f][k], floor)) -
                             10 * std::log10(std::max(po[f][k], floor));
            sq += d * d;
        }
        sum += std::sqrt(sq / double(kLastBin + 1));
    }
    return pr.empty() ? 0 : sum / double(pr.size());
}

double SegmentalSnr(const Signal& ref_in, const Signal& out_in) {
    static const std::vector<double> k7kHz = LowPass(7000.0 / kRate, 96, 8.0);
    const Signal ref = Filter(ref_in, k7kHz);
    const Signal out = Filter(out_in, k7kHz);
    constexpr std::size_t kLength = 320;
    const auto active = ActiveFrames(ref, kLength, kLength);
    double sum = 0;
    for (std::size_t at : active) {
        double s = 0, e = 0;
        for (std::size_t i = at; i < at + kLength; ++i) {
            s += ref[i] * ref[i];
            e += (ref[i] - out[i]) * (ref[i] - out[i]);
        }
        const double snr = e > 0 ? 10 * std::log10(s / e) : 35;
        sum += std::clamp(snr, -10.0, 35.0);
    }
    return active.empty() ? 0 : sum / double(active.size());
}

// --- Google Benchmark: time per frame ----------------------------------------

void BM_OpusEncodeFrame16k(benchmark::State& state) {
    const auto corpus = Corpus();
    auto codec = Opus();
    if (corpus.empty() || !codec) {
        state.SkipWithError("no corpus or no codec");
        return;
    }
    const auto& pcm = corpus.front();
    const std::size_t n = codec->FrameSamples();
    std::vector<uint8_t> out(codec->MaxFrameBytes());
    std::size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(codec->Encode(std::span(pcm).subspan(at, n), out));
        at = at + 2 * n > pcm.size() ? 0 : at + n;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpusEncodeFrame16k);

void BM_OpusDecodeFrame16k(benchmark::State& state) {
    const auto corpus = Corpus();
    auto codec = Opus();
    if (corpus.empty() || !codec) {
        state.SkipWithError("no corpus or no codec");
        return;
    }
    std::vector<std::vector<uint8_t>> frames;
    const std::size_t n = codec->FrameSamples();
    std::vector<uint8_t> out(codec->MaxFrameBytes());
    for (std::size_t at = 0; at + n <= corpus.front().size(); at += n) {
        const std::size_t len = codec->Encode(std::span(corpus.front()).subspan(at, n), out);
        frames.emplace_back(out.begin(), out.begin() + len);
    }
    std::vector<int16_t> pcm(n);
    std::size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(codec->Decode(frames[k], pcm));
        k = k + 1 == frames.size() ? 0 : k + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpusDecodeFrame16k);

// --- The quality table and the cost of a call ---------------------------------

double ThreadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Scores {
    double lsd = 0, segsnr = 0;
    int delay = 0;
};

Scores Measure(const std::vector<int16_t>& original, const Signal& decoded) {
    Signal ref = ToSignal(original);
    Signal out = decoded;
    Scores s;
    s.delay = BestDelay(ref, out, kRate / 25);
    Align(ref, out, s.delay);
    s.lsd = LogSpectralDistance(ref, out);
    s.segsnr = SegmentalSnr(ref, out);
    return s;
}

int RunQuality(int cpu_rounds) {
    const auto corpus = Corpus();
    if (corpus.empty()) {
        std::fputs("no 16 kHz speech corpus\n", stderr);
        return 1;
    }
    // The measures on what they must score exactly: the original against
    // itself, and against itself delayed.
    {
        const Scores same = Measure(corpus[0], ToSignal(corpus[0]));
        Signal late(37, 0.0);
        late.insert(late.end(), corpus[0].begin(), corpus[0].end());
        const Scores delayed = Measure(corpus[0], late);
        if (same.lsd != 0 || same.segsnr != 35 || same.delay != 0 || delayed.delay != 37 ||
            delayed.lsd != 0) {
            std::fprintf(stderr, "the measures fail their own check (LSD %.3f, segSNR %.3f)\n",
                         same.lsd, same.segsnr);
            return 1;
        }
    }
    std::printf(
        "\nWideband speech, 0-7 kHz (Opus complexity %d, %.1f kbit/s VBR, FEC for %d %% "
        "loss)\n",
        g_complexity, g_bitrate / 1000.0, g_loss);
    std::printf("%-24s %-6s %9s %11s %9s\n", "file", "codec", "LSD (dB)", "segSNR (dB)", "delay");
    Scores opus_sum, g729_sum;
    std::size_t opus_bytes = 0, opus_frames = 0, wideband = 0;
    for (std::size_t f = 0; f < corpus.size(); ++f) {
        auto opus = Opus();
        if (!opus) {
            std::fputs("Opus codec refused its settings\n", stderr);
            return 1;
        }
        const CodedClip o = RunCodec(*opus, corpus[f]);
        const CodedClip g = RunG729Wideband(corpus[f]);
        opus_bytes += o.bytes;
        opus_frames += o.frames;
        wideband += o.wideband;
        const Scores so = Measure(corpus[f], o.decoded);
        const Scores sg = Measure(corpus[f], g.decoded);
        const Scores sr =
            Measure(corpus[f], ToSignal(ToPcm(Upsample2(Downsample2(ToSignal(corpus[f]))))));
        std::printf("%-24s %-6s %9.2f %11.2f %6.2f ms\n", kCorpus[f], "Opus", so.lsd, so.segsnr,
                    so.delay * 1000.0 / kRate);
        std::printf("%-24s %-6s %9.2f %11.2f %6.2f ms\n", kCorpus[f], "G.729", sg.lsd, sg.segsnr,
                    sg.delay * 1000.0 / kRate);
        std::printf("%-24s %-6s %9.2f %11.2f %6.2f ms\n", kCorpus[f], "8 kHz", sr.lsd, sr.segsnr,
                    sr.delay * 1000.0 / kRate);
        opus_sum.lsd += so.lsd;
        opus_sum.segsnr += so.segsnr;
        g729_sum.lsd += sg.lsd;
        g729_sum.segsnr += sg.segsnr;
    }
    const double files = double(corpus.size());
    std::printf("%-24s %-6s %9.2f %11.2f\n", "mean", "Opus", opus_sum.lsd / files,
                opus_sum.segsnr / files);
    std::printf("%-24s %-6s %9.2f %11.2f\n", "mean", "G.729", g729_sum.lsd / files,
                g729_sum.segsnr / files);
    const double seconds = double(opus_frames) * 0.020;
    std::printf(
        "\nOpus stream: %.0f bytes/s of frames (%.1f kbit/s), %.0f bytes/s with the "
        "%zu-byte length of each\n",
        double(opus_bytes) / seconds, double(opus_bytes) * 8 / seconds / 1000,
        double(opus_bytes + opus_frames * kestrona::kFrameLengthBytes) / seconds,
        kestrona::kFrameLengthBytes);
    std::printf("Opus frames: %.0f %% wideband (the rest narrower)\n",
                100.0 * double(wideband) / double(opus_frames));

    // CPU of one call's codec work: every 20 ms one frame encoded and one
    // decoded, both on this thread.
    std::vector<double> per_frame;
    for (int round = 0; round < cpu_rounds; ++round) {
        std::size_t frames = 0;
        const double t0 = ThreadCpuSeconds();
        for (const auto& pcm : corpus) {
            auto opus = Opus();
            frames += RunCodec(*opus, pcm).frames;
        }
        per_frame.push_back((ThreadCpuSeconds() - t0) / double(frames));
    }
    std::sort(per_frame.begin(), per_frame.end());
    const double median = per_frame[per_frame.size() / 2];
    std::printf(
        "Opus encode + decode at 16 kHz: %.1f us CPU per 20 ms frame = %.3f %% of a core "
        "per call (median of %d, range %.3f to %.3f %%; target under 0.5 %%)\n",
        median * 1e6, median / 0.020 * 100, cpu_rounds, per_frame.front() / 0.020 * 100,
        per_frame.back() / 0.020 * 100);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool quality = true;
    int cpu_rounds = 9;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--quality=", 10) == 0) {
            quality = std::atoi(argv[i] + 10) != 0;
        } else if (std::strncmp(argv[i], "--cpu_rounds=", 13) == 0) {
            cpu_rounds = std::max(1, std::atoi(argv[i] + 13));
        } else if (std::strncmp(argv[i], "--complexity=", 13) == 0) {
            g_complexity = std::atoi(argv[i] + 13);
        } else if (std::strncmp(argv[i], "--bitrate=", 10) == 0) {
            g_bitrate = std::atoi(argv[i] + 10);
        } else if (std::strncmp(argv[i], "--loss=", 7) == 0) {
            g_loss = std::atoi(argv[i] + 7);
        } else {
            rest.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    if (benchmark::ReportUnrecognizedArguments(n, rest.data())) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return quality ? RunQuality(cpu_rounds) : 0;
}
