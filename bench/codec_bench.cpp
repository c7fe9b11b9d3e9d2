// Speed of the G.729 Annex A encoder and decoder, beside the codec library
// that Debian ships (libbcg729), which serves as the yardstick.
//
// BM_EncodeFrame, BM_DecodeFrame (and BM_Reference* when the library is
// installed): time per 80-sample frame on speech.
//
// After those, one comparison on the speech corpus (tests/data/speech_*.wav),
// in rounds that alternate the two codecs so that both see the same load:
//   in process    CPU time per frame of each side's encoder and decoder;
//                 the decoders both read our encoder's frames;
//   whole process kestrona-codec against bench/codec_reference.c (the same
//                 file jobs done with the library) on the same files, as the
//                 CPU time (user + system) of each process, start-up included.
//                 A run is a few milliseconds, so one busy moment of the
//                 machine moves it: these get rounds of their own, and in each
//                 round the two programs take turns file by file, in an order
//                 that alternates, so that both meet the same load.
// The table gives the median of the rounds and the ratio reference / ours,
// with the range and the median of the per-round ratios; the target is 2 or
// more for the ratio of the medians. On a
// machine shared with other work the wall-clock times are shown too, but the
// CPU times are the measure, and the load average is printed beside them.
// --comparison_rounds=N (default 7) rounds in process, 0 skips the comparison;
// --process_rounds=N (default 41) rounds of whole processes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/bitstream.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "tools/wav_io.h"

#ifdef KESTRONA_HAVE_BCG729
extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}
#endif

extern char** environ;

namespace {

using kestrona::codec::kFrameBytes;
using kestrona::codec::kFrameSamples;
using kestrona::codec::kParamCount;

const char* const kCorpus[] = {"speech_8k.wav", "speech_16k.wav", "speech_24k.wav"};

std::string CorpusPath(const char* name) {
    return std::string(KESTRONA_SOURCE_DIR) + "/tests/data/" + name;
}

// One file's whole frames; each file starts a fresh coder, as a call does.
struct Clip {
    std::vector<int16_t> pcm;
    std::vector<uint8_t> bits;  // our encoder's frames
    size_t frames() const { return pcm.size() / kFrameSamples; }
};

std::vector<uint8_t> EncodeAll(const std::vector<int16_t>& pcm) {
    G729EncoderState enc;
    kestrona::codec::EncoderInit(enc);
    std::vector<uint8_t> bits(pcm.size() / kFrameSamples * kFrameBytes);
    int32_t params[kParamCount];
    for (size_t i = 0; i < pcm.size() / kFrameSamples; ++i) {
        kestrona::codec::EncodeToParams(enc, &pcm[i * kFrameSamples], params);
        enc.packer.Pack(params, &bits[i * kFrameBytes]);
    }
    return bits;
}

const std::vector<Clip>& Corpus() {
    static const std::vector<Clip> clips = [] {
        std::vector<Clip> out;
        for (const char* name : kCorpus) {
            kestrona::tools::PcmAudio audio;
            std::string error;
            if (!kestrona::tools::ReadPcmFile(CorpusPath(name), 8000, &audio, &error)) {
                std::fprintf(stderr, "%s; left out\n", error.c_str());
                continue;
            }
            Clip c;
            c.pcm = std::move(audio.samples);
            c.pcm.resize(c.pcm.size() / kFrameSamples * kFrameSamples);
            c.bits = EncodeAll(c.pcm);
            out.push_back(std::move(c));
        }
        if (out.empty()) {
            std::fputs("no speech corpus found; timing silence instead\n", stderr);
            Clip c;
            c.pcm.assign(kFrameSamples * 100, 0);
            c.bits = EncodeAll(c.pcm);
            out.push_back(std::move(c));
        }
        return out;
    }();
    return clips;
}

const Clip& Speech() {
    return Corpus().front();
}

// --- Google Benchmark: time per frame -------------------------------------

void BM_EncodeFrame(benchmark::State& state) {
    const Clip& clip = Speech();
    G729EncoderState enc;
    kestrona::codec::EncoderInit(enc);
    uint8_t out[kFrameBytes];
    int32_t params[kParamCount];
    size_t i = 0;
    for (auto _ : state) {
        kestrona::codec::EncodeToParams(enc, &clip.pcm[i * kFrameSamples], params);
        enc.packer.Pack(params, out);
        benchmark::DoNotOptimize(out);
        i = i + 1 == clip.frames() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeFrame);

void BM_DecodeFrame(benchmark::State& state) {
    const Clip& clip = Speech();
    G729DecoderState dec;
    kestrona::codec::DecoderInit(dec);
    int16_t out[kFrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        kestrona::codec::DecodeFrame(dec, &clip.bits[i * kFrameBytes], out, 0);
        benchmark::DoNotOptimize(out);
        i = i + 1 == clip.frames() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeFrame);

#ifdef KESTRONA_HAVE_BCG729
void BM_ReferenceEncodeFrame(benchmark::State& state) {
    const Clip& clip = Speech();
    bcg729EncoderChannelContextStruct* enc = initBcg729EncoderChannel(0);
    uint8_t out[kFrameBytes];
    size_t i = 0;
    for (auto _ : state) {
        uint8_t length = 0;
        bcg729Encoder(enc, &clip.pcm[i * kFrameSamples], out, &length);
        benchmark::DoNotOptimize(out);
        i = i + 1 == clip.frames() ? 0 : i + 1;
    }
    closeBcg729EncoderChannel(enc);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReferenceEncodeFrame);

void BM_ReferenceDecodeFrame(benchmark::State& state) {
    const Clip& clip = Speech();
    bcg729DecoderChannelContextStruct* dec = initBcg729DecoderChannel();
    int16_t out[kFrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        bcg729Decoder(dec, &clip.bits[i * kFrameBytes], kFrameBytes, 0, 0, 0, out);
        benchmark::DoNotOptimize(out);
        i = i + 1 == clip.frames() ? 0 : i + 1;
    }
    closeBcg729DecoderChannel(dec);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReferenceDecodeFrame);
#endif

// --- The comparison -------------------------------------------------------

#ifdef KESTRONA_HAVE_BCG729

double ThreadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Timing {
    double cpu = 0.0;
    double wall = 0.0;
};

// The four in-process jobs, each over the whole corpus.
Timing OursEncode() {
    Timing t;
    const double c0 = ThreadCpuSeconds();
    const double w0 = WallSeconds();
    uint8_t out[kFrameBytes];
    int32_t params[kParamCount];
    for (const Clip& clip : Corpus()) {
        G729EncoderState enc;
        kestrona::codec::EncoderInit(enc);
        for (size_t i = 0; i < clip.frames(); ++i) {
            kestrona::codec::EncodeToParams(enc, &clip.pcm[i * kFrameSamples], params);
            enc.packer.Pack(params, out);
            benchmark::DoNotOptimize(out);
        }
    }
    t.cpu = ThreadCpuSeconds() - c0;
    t.wall = WallSeconds() - w0;
    return t;
}

Timing OursDecode() {
    Timing t;
    const double c0 = ThreadCpuSeconds();
    const double w0 = WallSeconds();
    int16_t out[kFrameSamples];
    for (const Clip& clip : Corpus()) {
        G729DecoderState dec;
        kestrona::codec::DecoderInit(dec);
        for (size_t i = 0; i < clip.frames(); ++i) {
            kestrona::codec::DecodeFrame(dec, &clip.bits[i * kFrameBytes], out, 0);
            benchmark::DoNotOptimize(out);
        }
    }
    t.cpu = ThreadCpuSeconds() - c0;
    t.wall = WallSeconds() - w0;
    return t;
}

Timing ReferenceEncode() {
    Timing t;
    const double c0 = ThreadCpuSeconds();
    const double w0 = WallSeconds();
    uint8_t out[kFrameBytes];
    for (const Clip& clip : Corpus()) {
        bcg729EncoderChannelContextStruct* enc = initBcg729EncoderChannel(0);
        for (size_t i = 0; i < clip.frames(); ++i) {
            uint8_t length = 0;
            bcg729Encoder(enc, &clip.pcm[i * kFrameSamples], out, &length);
            benchmark::DoNotOptimize(out);
        }
        closeBcg729EncoderChannel(enc);
    }
    t.cpu = ThreadCpuSeconds() - c0;
    t.wall = WallSeconds() - w0;
    return t;
}

Timing ReferenceDecode() {
    Timing t;
    const double c0 = ThreadCpuSeconds();
    const double w0 = WallSeconds();
    int16_t out[kFrameSamples];
    for (const Clip& clip : Corpus()) {
        bcg729DecoderChannelContextStruct* dec = initBcg729DecoderChannel();
        for (size_t i = 0; i < clip.frames(); ++i) {
            bcg729Decoder(dec, &clip.bits[i * kFrameBytes], kFrameBytes, 0, 0, 0, out);
            benchmark::DoNotOptimize(out);
        }
        closeBcg729DecoderChannel(dec);
    }
    t.cpu = ThreadCpuSeconds() - c0;
    t.wall = WallSeconds() - w0;
    return t;
}

// Runs one program to its end; its CPU time from the kernel's accounting.
bool RunProcess(const std::vector<std::string>& args, Timing* t) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Both tools report on standard error; the comparison is about the work.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const double w0 = WallSeconds();
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(rc));
        return false;
    }
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid) {
        return false;
    }
    t->wall += WallSeconds() - w0;
    t->cpu += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s %s failed\n", argv[0], argv[1]);
        return false;
    }
    return true;
}

// One file job of either program, its output removed afterwards so that
// every run creates its file afresh.
bool WholeJob(const std::string& tool, bool encode, const std::string& in, const std::string& tmp,
              Timing* t) {
    const std::string out = tmp + (encode ? "/out.bit" : "/out.wav");
    const bool ok = RunProcess({tool, encode ? "encode" : "decode", in, out}, t);
    std::remove(out.c_str());
    return ok;
}

std::string LoadAverage() {
    double load[3] = {};
    if (::getloadavg(load, 3) != 3) {
        return "unknown";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

struct Row {
    const char* name;
    double per;  // divide the times by this (frames for µs per frame, 1 for ms)
    double scale;
    std::vector<Timing> ours;
    std::vector<Timing> ref;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

bool PrintRow(const Row& r) {
    std::vector<double> ours;
    std::vector<double> ref;
    std::vector<double> ratio;
    double ours_wall = 1e300;
    double ref_wall = 1e300;
    for (size_t i = 0; i < r.ours.size(); ++i) {
        ours.push_back(r.ours[i].cpu);
        ref.push_back(r.ref[i].cpu);
        ratio.push_back(r.ref[i].cpu / r.ours[i].cpu);
        ours_wall = std::min(ours_wall, r.ours[i].wall);
        ref_wall = std::min(ref_wall, r.ref[i].wall);
    }
    const double mo = Median(ours);
    const double mr = Median(ref);
    const double k = r.scale / r.per;
    const auto [lo, hi] = std::minmax_element(ratio.begin(), ratio.end());
    const bool met = mr / mo >= 2.0;
    std::printf("%-24s %9.3f %9.3f %7.2fx  (%.2f-%.2f, median %.2f) %9.3f %9.3f  %s\n", r.name,
                mo * k, mr * k, mr / mo, *lo, *hi, Median(ratio), ours_wall * k, ref_wall * k,
                met ? "" : "below 2x");
    return met;
}

int RunComparison(int rounds, int process_rounds) {
    const std::vector<Clip>& corpus = Corpus();
    size_t frames = 0;
    for (const Clip& c : corpus) {
        frames += c.frames();
    }

    // Whole-process jobs: the corpus files, and our encoder's frames of them
    // for both decoders.
    char dir_template[] = "/tmp/codec_bench_XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (dir == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string tmp = dir;
    std::vector<std::string> inputs;
    std::vector<std::string> bit_files;
    for (size_t i = 0; i < corpus.size(); ++i) {
        inputs.push_back(CorpusPath(kCorpus[i]));
        bit_files.push_back(tmp + "/in" + std::to_string(i) + ".bit");
        std::string error;
        if (!kestrona::tools::WriteBytes(bit_files.back(), corpus[i].bits.data(),
                                         corpus[i].bits.size(), &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    const std::string ours_tool = KESTRONA_CODEC_TOOL;
    const std::string ref_tool = KESTRONA_REFERENCE_TOOL;

    Row rows[] = {
        {"encode, in process", static_cast<double>(frames), 1e6, {}, {}},
        {"decode, in process", static_cast<double>(frames), 1e6, {}, {}},
        {"encode, whole process", 1.0, 1e3, {}, {}},
        {"decode, whole process", 1.0, 1e3, {}, {}},
    };
    const std::string load_before = LoadAverage();
    // Warm both sides up once, untimed.
    OursEncode();
    ReferenceEncode();
    for (int round = 0; round < rounds; ++round) {
        // Alternate which side goes first, so that neither always meets the
        // other's leftovers in the caches.
        for (int side = 0; side < 2; ++side) {
            if ((side + round) % 2 == 0) {
                rows[0].ours.push_back(OursEncode());
                rows[1].ours.push_back(OursDecode());
            } else {
                rows[0].ref.push_back(ReferenceEncode());
                rows[1].ref.push_back(ReferenceDecode());
            }
        }
    }
    // Whole processes: each file's job by both programs back to back, the
    // first of the pair alternating from file to file and round to round.
    bool ok = true;
    for (int round = 0; round < process_rounds && ok; ++round) {
        for (int encode = 1; encode >= 0 && ok; --encode) {
            Row& row = rows[encode ? 2 : 3];
            Timing ours;
            Timing ref;
            for (size_t i = 0; i < inputs.size() && ok; ++i) {
                const std::string& in = encode ? inputs[i] : bit_files[i];
                const bool ours_first = (round + i) % 2 == 0;
                for (int turn = 0; turn < 2 && ok; ++turn) {
                    const bool is_ours = ours_first == (turn == 0);
                    ok = WholeJob(is_ours ? ours_tool : ref_tool, encode != 0, in, tmp,
                                  is_ours ? &ours : &ref);
                }
            }
            row.ours.push_back(ours);
            row.ref.push_back(ref);
        }
    }
    const std::string load_after = LoadAverage();
    for (size_t i = 0; i < bit_files.size(); ++i) {
        std::remove(bit_files[i].c_str());
    }
    ::rmdir(dir);
    if (!ok) {
        return 1;
    }

    std::printf(
        "\nComparison with the reference library over %zu files (%zu frames), %d rounds in\n"
        "process (CPU us per frame) and %d of whole processes (CPU ms for all files, start-up\n"
        "and file I/O included); load average before %s, after %s.\n",
        corpus.size(), frames, rounds, process_rounds, load_before.c_str(), load_after.c_str());
    std::printf("%-24s %9s %9s %8s  %-24s %9s %9s\n", "", "ours", "reference", "ratio",
                "(per round)", "ours wall", "ref wall");
    bool all = true;
    for (const Row& r : rows) {
        all = PrintRow(r) && all;
    }
    std::printf("%s\n", all ? "every ratio is 2x or more" : "some ratio is below 2x");
    return 0;
}

#else

int RunComparison(int, int) {
    std::puts(
        "\nComparison with the reference codec skipped: libbcg729-dev is not installed "
        "(apt-get install libbcg729-dev, then configure again).");
    return 0;
}

#endif

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    int process_rounds = 41;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--comparison_rounds=", 20) == 0) {
            rounds = std::atoi(argv[i] + 20);
        } else if (std::strncmp(argv[i], "--process_rounds=", 17) == 0) {
            process_rounds = std::max(1, std::atoi(argv[i] + 17));
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
    return rounds > 0 ? RunComparison(rounds, process_rounds) : 0;
}
