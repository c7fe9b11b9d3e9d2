// Media engine cost and delay on this machine.
//
// BM_CallCpu: a real-time call between two engines on loopback with the file
// devices, both directions; reports the CPU time of the whole process per
// second of call audio, per engine (half the process), as a percentage of
// one core. The device threads of the file backend are included, so this is
// an upper bound on the engine's own share.
//
// BM_MouthToEar: when the caller's first spoken sample comes out of the
// answerer's loudspeaker, from the file devices' clocks.
//
// BM_BlockCodec: the coding work alone (encode + decode of one second of
// audio, one direction), without real time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>

#include "media/audio_engine.h"
#include "platform/audio_backend_file.h"
#include "platform/wav_file.h"
#include "tests/media/media_test_util.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

double ProcessCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

std::vector<int16_t> Speech(int rate, double seconds) {
    PcmAudio audio;
    std::string error;
    const char* file = rate == 8000    ? "speech_8k.wav"
                       : rate == 16000 ? "speech_16k.wav"
                                       : "speech_24k.wav";
    ReadWavFile(fs::path(KESTRONA_SOURCE_DIR) / "tests/data" / file, audio, error);
    std::vector<int16_t> pcm;
    ResampleLinear(audio.samples.data(), audio.samples.size(), audio.rate, uint32_t(rate), pcm);
    pcm.resize(size_t(seconds * rate) / 80 * 80);  // pads with silence if short
    return pcm;
}

struct CallResult {
    double cpuSeconds = 0;
    double audioSeconds = 0;
    double mouthToEar = -1;  // seconds
};

CallResult RunCall(int rate, int delayMs, double seconds) {
    CallResult r;
    fs::path dir = fs::temp_directory_path() / ("kestrona-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::vector<int16_t> speech = Speech(rate, seconds);
    WriteRaw(dir / "a.raw", speech);
    WriteRaw(dir / "b.raw", std::vector<int16_t>(speech.rbegin(), speech.rend()));
    auto backendA =
        std::make_shared<FileAudioBackend>((dir / "a.raw").string(), (dir / "a.wav").string());
    auto backendB =
        std::make_shared<FileAudioBackend>((dir / "b.raw").string(), (dir / "b.wav").string());
    RecordingOwner ownerA, ownerB;
    {
        CAudioEngine a, b;
        a.SetAudioBackend(backendA);
        b.SetAudioBackend(backendB);
        a.SetCodec(MakePrivateSpeechCodec());
        b.SetCodec(MakePrivateSpeechCodec());
        b.Init(&ownerB, rate, delayMs, true, "", 0, 0);
        b.Listen(0, 0);
        a.Init(&ownerA, rate, delayMs, true, "", 0, 0);
        a.Connect("127.0.0.1", b.m_portIn, b.m_portOut);
        WaitUntil([&] { return b.m_sockIn.load() >= 0 && b.m_sockOut.load() >= 0; });
        const double cpu0 = ProcessCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        b.StartReceive();
        b.StartSend();
        a.StartReceive();
        a.StartSend();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        a.Stop();
        b.Stop();
        r.cpuSeconds = ProcessCpuSeconds() - cpu0;
        r.audioSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    // Where the caller's speech landed in the answerer's loudspeaker.
    const size_t block = size_t(CAudioEngine::BlockBytesFor(rate, delayMs) / 2);
    std::vector<int16_t> firstBlocks(speech.begin(),
                                     speech.begin() + long(std::min(speech.size(), 2 * block)));
    BlockwiseMatch m = MatchBlocks(ReadSpeaker(dir / "b.wav"), CodecRoundTrip(firstBlocks), block);
    auto spoken = backendA->LastWaveInStart();
    auto heard = m.firstOffset >= 0 ? backendB->SpeakerTimeOfSample(m.firstOffset) : std::nullopt;
    if (spoken && heard)
        r.mouthToEar = std::chrono::duration<double>(*heard - *spoken).count();
    fs::remove_all(dir);
    return r;
}

void BM_CallCpu(benchmark::State& state) {
    const int rate = int(state.range(0)), delay = int(state.range(1));
    CallResult r;
    for (auto _ : state) r = RunCall(rate, delay, 6.0);
    state.counters["cpu_pct_per_engine"] = 100.0 * r.cpuSeconds / 2 / r.audioSeconds;
    state.counters["mouth_to_ear_ms"] = 1000.0 * r.mouthToEar;
    state.counters["block_ms"] = 1000.0 * CAudioEngine::BlockBytesFor(rate, delay) / 2 / rate;
}
BENCHMARK(BM_CallCpu)
    ->Args({8000, 250})
    ->Args({8000, 500})
    ->Args({24000, 250})
    ->Args({24000, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_BlockCodec(benchmark::State& state) {
    const int rate = int(state.range(0));
    CAudioEngine e;
    e.SetAudioBackend(MakeNullAudioBackend());
    e.SetCodec(MakePrivateSpeechCodec());
    e.Init(nullptr, rate, 1000, true, "", 0, 0);
    std::vector<int16_t> pcm = Speech(rate, 1.0);
    pcm.resize(size_t(e.m_blockBytes / 2));
    std::vector<uint8_t> coded(size_t(e.m_blockBytes)), out(size_t(e.m_blockBytes));
    for (auto _ : state) {
        int cl = 0, pl = 0;
        e.EncodeBlock(reinterpret_cast<const uint8_t*>(pcm.data()), e.m_blockBytes, coded.data(),
                      cl);
        e.DecodeBlock(coded.data(), cl, out.data(), pl);
        benchmark::DoNotOptimize(out.data());
    }
    // One iteration codes and decodes one second of audio: what one engine
    // does per second of a call with both directions running.
    state.counters["core_pct_per_engine"] =
        benchmark::Counter(double(state.iterations()) / 100.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BlockCodec)->Arg(8000)->Arg(24000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
