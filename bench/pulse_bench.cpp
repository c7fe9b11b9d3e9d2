// Cost of a call on the real sound path: two engines in one process, each on
// its own private PulseAudio daemon (pipe devices fed with speech), talking
// in real time over loopback. Reports the process's CPU time per second of
// call, per engine (half the process), as a percentage of one core, less what
// the fixtures' own feeding and recording threads use (measured for three
// seconds before the call); the daemons are other processes and not
// counted. Args: rate, echo control (0 off, 1 on).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "media/audio_engine.h"
#include "platform/wav_file.h"
#include "tests/media/media_test_util.h"
#include "tests/support/pulse_fixture.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;
using kestrona::testing::PulseFixture;

namespace {

double ProcessCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

std::vector<int16_t> Speech48k() {
    PcmAudio audio;
    std::string error;
    ReadWavFile(fs::path(KESTRONA_SOURCE_DIR) / "tests/data/speech_8k.wav", audio, error);
    std::vector<int16_t> pcm;
    ResampleLinear(audio.samples.data(), audio.samples.size(), audio.rate, PulseFixture::kRate,
                   pcm);
    return pcm;
}

void BM_PulseCallCpu(benchmark::State& state) {
    const int rate = int(state.range(0));
    const bool echo = state.range(1) != 0;
    const double seconds = 6.0;
    const fs::path dir =
        fs::temp_directory_path() / ("kestrona-pulse-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    double cpu = 0, elapsed = 1, idle = 0;
    for (auto _ : state) {
        PulseFixture paA(dir / "a"), paB(dir / "b");
        std::string error;
        if (!paA.Start(&error) || !paB.Start(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        RecordingOwner ownerA, ownerB;
        {
            const double idle0 = ProcessCpuSeconds();
            const auto i0 = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(3));
            idle = (ProcessCpuSeconds() - idle0) /
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - i0).count();
        }
        {
            CAudioEngine a, b;
            a.SetAudioBackend(MakePulseAudioBackend(paA.ServerAddress()));
            b.SetAudioBackend(MakePulseAudioBackend(paB.ServerAddress()));
            a.SetCodec(MakePrivateSpeechCodec());
            b.SetCodec(MakePrivateSpeechCodec());
            const auto mode =
                echo ? CAudioEngine::EchoControl::kOn : CAudioEngine::EchoControl::kOff;
            a.SetEchoControl(mode);
            b.SetEchoControl(mode);
            b.Init(&ownerB, rate, 250, true, "", 0, 0);
            b.Listen(0, 0);
            a.Init(&ownerA, rate, 250, true, "", 0, 0);
            a.Connect("127.0.0.1", b.m_portIn, b.m_portOut);
            WaitUntil([&] { return b.m_sockIn.load() >= 0 && b.m_sockOut.load() >= 0; });
            const auto speech = Speech48k();
            paA.Feed(speech);
            paB.Feed(std::vector<int16_t>(speech.rbegin(), speech.rend()));
            const double cpu0 = ProcessCpuSeconds();
            const auto t0 = std::chrono::steady_clock::now();
            b.StartReceive();
            b.StartSend();
            a.StartReceive();
            a.StartSend();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            a.Stop();
            b.Stop();
            cpu = ProcessCpuSeconds() - cpu0;
            elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
    }
    fs::remove_all(dir);
    state.counters["cpu_pct_per_engine"] = 100.0 * (cpu / elapsed - idle) / 2;
    state.counters["fixture_pct"] = 100.0 * idle;
}
BENCHMARK(BM_PulseCallCpu)
    ->Args({8000, 0})
    ->Args({24000, 0})
    ->Args({8000, 1})
    ->Args({24000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
