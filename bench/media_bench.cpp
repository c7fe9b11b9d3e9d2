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
//
// BM_CallCpu's third argument switches echo control on for both engines, with
// the file devices' echo path (40 ms, -6 dB) on both sides.
//
// BM_SoundCall: the same call on the file devices, on a private PulseAudio
// daemon and on a private PipeWire stack, side by side in one run, with echo
// control off and on, in blocks of 250 ms and (the sound servers) in short
// frames: CPU per engine and mouth-to-ear delay (see below); the servers' own
// time is not counted.
//
// BM_RelayCall: the BM_CallCpu call (8000 Hz, blocks of 250 ms, echo control
// off) put through a TURN relay on loopback (TCP relaying) as an unreachable
// phone is called, against the same call made directly, in alternating
// order round after round (--relay_rounds=N, default 5). Reports the median
// mouth-to-ear of each and what the relay adds (relay_adds_ms, the
// difference of the medians); the relay's CPU time (utime + stime) over the
// relayed calls per second of call, as a percentage of one core; and the
// medians of the time from asking the relay for an address to its grant
// (map_to_grant_ms) and from opening a route to a relayed address to the
// first byte arriving at the far end (route_to_first_byte_ms). A line per
// round goes to stderr.
//
// BM_EchoCanceller: the two cancellers the engine could use, on a synthetic
// laptop path (the loudspeaker heard 40 ms later at -6 dB), without real
// time: echo return loss enhancement over seconds 2 to 4 (erle_db), the
// waveform match of near speech during double talk over seconds 2.5 to 4.5
// (double_talk_match; 1 would be untouched), and the CPU share of one core
// per second of audio (core_pct). Argument 0 is speexdsp (250 ms tail),
// 1 WebRTC audio processing (extended filter), the one the engine uses.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <speex/speex_echo.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

#include "media/audio_engine.h"
#include "media/echo_canceller.h"
#include "media/frame_codec.h"
#include "net/relay_client.h"
#include "platform/audio_backend_file.h"
#include "platform/wav_file.h"
#include "tests/media/media_test_util.h"
#include "tests/support/coturn_fixture.h"
#include "tests/support/pipewire_fixture.h"
#include "tests/support/pulse_fixture.h"

namespace fs = std::filesystem;
using namespace kestrona;
using namespace kestrona::mediatest;

namespace {

// CPU time of this process's threads, except the sound fixtures' own
// feeding and reading threads (the sound servers are other processes and not
// counted either). Per thread, so it is not swayed by other load. Also the
// share and the wake-ups of the sound server connections' loop threads.
struct CpuSample {
    double engines = 0;  // seconds
    double loops = 0;    // seconds
    long loopWakes = 0;
};
CpuSample SampleCpu() {
    CpuSample sample;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("fixture-", 0) == 0)
            continue;
        std::ifstream stat(task.path() / "schedstat");
        uint64_t ns = 0;
        if (!(stat >> ns))
            continue;
        sample.engines += double(ns) * 1e-9;
        if (name != "pulse-loop")
            continue;
        sample.loops += double(ns) * 1e-9;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                sample.loopWakes += std::stol(line.substr(24));
        }
    }
    return sample;
}
double EngineCpuSeconds() {
    return SampleCpu().engines;
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
    double besideCpuSeconds = 0;
    bool connected = true;
};

// Where the caller connects to reach the answerer; a port of 0 when there
// is no way through.
struct Reach {
    std::string host = "127.0.0.1";
    int portIn = 0;
    int portOut = 0;
};
// How a call is put through. By default the caller connects straight to the
// answerer's ports and speaks as soon as both streams are accepted.
struct CallPath {
    std::function<Reach(int portIn, int portOut)> reach;
    // Between both streams being accepted and the first block sent: a path
    // may still be joining the streams when the accept has happened.
    std::chrono::milliseconds settle{0};
    // CPU seconds of a process beside this one (a relay), sampled over the
    // same span as the engines'.
    std::function<double()> besideCpu;
};

CallResult RunCall(int rate, int delayMs, double seconds, bool echo = false,
                   const CallPath& path = {}) {
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
        const auto control =
            echo ? CAudioEngine::EchoControl::kOn : CAudioEngine::EchoControl::kOff;
        a.SetEchoControl(control);
        b.SetEchoControl(control);
        if (echo) {
            backendA->SetEchoPath();
            backendB->SetEchoPath();
        }
        b.Init(&ownerB, rate, delayMs, true, "", 0, 0);
        b.Listen(0, 0);
        a.Init(&ownerA, rate, delayMs, true, "", 0, 0);
        const auto accepted = [&] { return b.m_sockIn.load() >= 0 && b.m_sockOut.load() >= 0; };
        if (!path.reach) {
            a.Connect("127.0.0.1", b.m_portIn, b.m_portOut);
            WaitUntil(accepted);
        } else {
            const Reach to = path.reach(b.m_portIn.load(), b.m_portOut.load());
            r.connected = to.portIn > 0 && to.portOut > 0 &&
                          a.Connect(to.host, to.portIn, to.portOut) &&
                          WaitUntil(accepted, std::chrono::seconds(15));
        }
        if (r.connected) {
            std::this_thread::sleep_for(path.settle);
            const double cpu0 = EngineCpuSeconds();
            const double beside0 = path.besideCpu ? path.besideCpu() : 0.0;
            const auto t0 = std::chrono::steady_clock::now();
            b.StartReceive();
            b.StartSend();
            a.StartReceive();
            a.StartSend();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            r.cpuSeconds = EngineCpuSeconds() - cpu0;
            if (path.besideCpu)
                r.besideCpuSeconds = path.besideCpu() - beside0;
            a.Stop();
            b.Stop();
            r.audioSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
    }
    if (!r.connected) {
        fs::remove_all(dir);
        return r;
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
    for (auto _ : state) r = RunCall(rate, delay, 6.0, state.range(2) != 0);
    state.counters["cpu_pct_per_engine"] = 100.0 * r.cpuSeconds / 2 / r.audioSeconds;
    state.counters["mouth_to_ear_ms"] = 1000.0 * r.mouthToEar;
    state.counters["block_ms"] = 1000.0 * CAudioEngine::BlockBytesFor(rate, delay) / 2 / rate;
}
BENCHMARK(BM_CallCpu)
    ->Args({8000, 250, 0})
    ->Args({8000, 250, 1})
    ->Args({8000, 500, 0})
    ->Args({24000, 250, 0})
    ->Args({24000, 250, 1})
    ->Args({24000, 1000, 0})
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

// 48000 Hz speech from the 8000 Hz file, as the fixtures' microphones take it.
std::vector<int16_t> Speech48k() {
    PcmAudio audio;
    std::string error;
    ReadWavFile(fs::path(KESTRONA_SOURCE_DIR) / "tests/data/speech_8k.wav", audio, error);
    std::vector<int16_t> pcm;
    ResampleLinear(audio.samples.data(), audio.samples.size(), audio.rate,
                   testing::PulseFixture::kRate, pcm);
    return pcm;
}

enum SoundKind { kFileSound = 0, kPulseSound = 1, kPipeWireSound = 2 };

// BM_SoundCall: one call on each sound path in one run, side by side: the
// file devices, a private PulseAudio daemon, a private PipeWire stack (each
// engine on its own server, pipe microphone and loudspeaker), with echo
// control off and on. cpu_pct: the CPU time of the engines and their devices
// per second of call, per engine, as a percentage of one core; loop_pct and
// loop_wakes: the part of it and the wake-ups per second of the loop that
// reads the sound server. mouth_to_ear_ms: from the caller's first spoken
// sample entering its microphone to its coming out of the answerer's
// loudspeaker (8000 Hz only); -1 when the first half second of speech was
// not heard well enough to place it (match: the worse waveform match of its
// two quarters). block_ms: the engines' blocks, the delay buffer's 250 ms or
// short frames of 20 or 40 ms (the sound paths only). opus: the call of two
// phones of this version, Opus at 16 kHz in 20 ms frames through the adaptive
// playout buffer, placed against the speech itself; playout_ms, late and
// concealed: the answerer's playout buffer at the end and its counts.
void BM_SoundCall(benchmark::State& state) {
    const int kind = int(state.range(0));
    const int rate = int(state.range(1));
    const bool echo = state.range(2) != 0;
    // Blocks of the delay buffer's 250 ms, or short frames.
    const int blockMs = state.range(3) > 0 ? int(state.range(3)) : 250;
    // A call between two phones of this version: Opus at 16 kHz in 20 ms
    // frames through the playout buffer (rate and block_ms are then 16000 and 20).
    const bool opus = state.range(4) != 0;
    constexpr double kSeconds = 6.0;
    if (kind == kFileSound) {
        CallResult r;
        for (auto _ : state) r = RunCall(rate, 250, kSeconds, echo);
        state.counters["cpu_pct"] = 100.0 * r.cpuSeconds / 2 / r.audioSeconds;
        state.counters["mouth_to_ear_ms"] = 1000.0 * r.mouthToEar;
        return;
    }
    const fs::path dir =
        fs::temp_directory_path() / ("kestrona-bench-sound-" + std::to_string(::getpid()));
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    double cpu = 0, wall = 1, mouthToEar = -1, match = 0;
    CpuSample before, after;
    CAudioEngine::Quality playout;
    {
        std::unique_ptr<testing::PulseFixture> fa, fb;
        if (kind == kPipeWireSound) {
            fa = std::make_unique<testing::PipeWireFixture>(dir / "a");
            fb = std::make_unique<testing::PipeWireFixture>(dir / "b");
        } else {
            fa = std::make_unique<testing::PulseFixture>(dir / "a");
            fb = std::make_unique<testing::PulseFixture>(dir / "b");
        }
        std::string why;
        if (!fa->Start(&why) || !fb->Start(&why)) {
            state.SkipWithError(why.c_str());
            fa.reset();
            fb.reset();
            fs::remove_all(dir);
            return;
        }
        RecordingOwner ownerA, ownerB;
        for (auto _ : state) {
            CAudioEngine a, b;
            a.SetAudioBackend(MakePulseAudioBackend(fa->ServerAddress()));
            b.SetAudioBackend(MakePulseAudioBackend(fb->ServerAddress()));
            for (CAudioEngine* e : {&a, &b}) {
                e->SetCodec(MakePrivateSpeechCodec());
                e->SetEchoControl(echo ? CAudioEngine::EchoControl::kOn
                                       : CAudioEngine::EchoControl::kOff);
                if (opus) {
                    OpusFrameSettings settings;
                    settings.sample_rate = rate;
                    e->SetFrameCodec(MakeOpusFrameCodec(settings));
                } else if (blockMs < 250) {
                    e->SetFrameMs(blockMs);
                }
            }
            b.Init(&ownerB, rate, 250, true, "", 0, 0);
            b.Listen(0, 0);
            a.Init(&ownerA, rate, 250, true, "", 0, 0);
            a.Connect("127.0.0.1", b.PortIn(), b.PortOut());
            WaitUntil([&] { return b.m_sockIn.load() >= 0 && b.m_sockOut.load() >= 0; });
            b.StartReceive();
            b.StartSend();
            a.StartReceive();
            a.StartSend();
            // Speech starts once the streams have settled.
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            const size_t heardFrom = fb->HeardCount();
            const auto speech = Speech48k();
            fa->Feed(speech);
            fb->Feed(std::vector<int16_t>(speech.rbegin(), speech.rend()));
            before = SampleCpu();
            const auto t0 = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
            after = SampleCpu();
            cpu = after.engines - before.engines;
            wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (opus)
                playout = b.QualityNow();
            a.Stop();
            b.Stop();

            // Where A's first words came out of B's loudspeaker.
            const auto heard = fb->Heard();
            constexpr int kUp = testing::PulseFixture::kRate / 8000;
            std::vector<int16_t> heard8k;
            for (size_t i = heardFrom; i + kUp <= heard.size(); i += kUp) {
                int sum = 0;
                for (int k = 0; k < kUp; ++k) sum += heard[i + size_t(k)];
                heard8k.push_back(int16_t(sum / kUp));
            }
            const size_t block = size_t(CAudioEngine::BlockBytesFor(8000, 250) / 2);
            const std::vector<int16_t> said = Speech(8000, 1.0);
            const std::vector<int16_t> first(said.begin(), said.begin() + long(2 * block));
            const BlockwiseMatch m =
                MatchBlocks(heard8k, opus ? first : CodecRoundTrip(first), block);
            const auto fed = fa->FedAt();
            const bool placed = m.blocks == 2 && m.worst > 0.5;
            const auto out =
                placed ? fb->HeardAt(heardFrom + size_t(m.firstOffset) * kUp) : std::nullopt;
            match = m.blocks == 2 ? m.worst : 0;
            if (fed && out && (rate == 8000 || opus))
                mouthToEar = std::chrono::duration<double>(*out - *fed).count();
        }
    }
    fs::remove_all(dir);
    state.counters["cpu_pct"] = 100.0 * cpu / 2 / wall;
    state.counters["loop_pct"] = 100.0 * (after.loops - before.loops) / 2 / wall;
    state.counters["loop_wakes"] = double(after.loopWakes - before.loopWakes) / 2 / wall;
    state.counters["mouth_to_ear_ms"] = 1000.0 * mouthToEar;
    if (rate == 8000 || opus)
        state.counters["match"] = match;
    if (opus) {
        state.counters["playout_ms"] = playout.delayMs;
        state.counters["late"] = double(playout.late);
        state.counters["concealed"] = double(playout.concealed);
    }
}
BENCHMARK(BM_SoundCall)
    ->ArgNames({"sound", "rate", "echo", "block_ms", "opus"})
    ->ArgsProduct({{kFileSound, kPulseSound, kPipeWireSound}, {8000, 24000}, {0, 1}, {250}, {0}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
// The same call on the real sound paths in short frames.
BENCHMARK(BM_SoundCall)
    ->ArgNames({"sound", "rate", "echo", "block_ms", "opus"})
    ->ArgsProduct({{kPulseSound, kPipeWireSound}, {8000}, {0, 1}, {20, 40}, {0}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
// Calls between two phones of this version: Opus at 16 kHz in 20 ms frames.
BENCHMARK(BM_SoundCall)
    ->ArgNames({"sound", "rate", "echo", "block_ms", "opus"})
    ->ArgsProduct({{kPulseSound, kPipeWireSound}, {16000}, {0, 1}, {20}, {1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The speexdsp canceller, as the engine would have used it.
class SpeexCanceller {
  public:
    static constexpr int kFrame = 160;
    explicit SpeexCanceller(int rate)
        : m_state(speex_echo_state_init(kFrame, rate / 4)), m_out(kFrame) {
        speex_echo_ctl(m_state, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    }
    ~SpeexCanceller() { speex_echo_state_destroy(m_state); }
    void Process(int16_t* near, const int16_t* far, int n) {
        for (int k = 0; k + kFrame <= n; k += kFrame) {
            speex_echo_cancellation(m_state, near + k, far + k, m_out.data());
            std::copy(m_out.begin(), m_out.end(), near + k);
        }
    }

  private:
    SpeexEchoState* m_state;
    std::vector<int16_t> m_out;
};

double Correlation(const int16_t* a, const int16_t* b, size_t n) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

template <class Canceller>
void RunCanceller(int rate, double& erle, double& match, double& seconds) {
    const std::vector<int16_t> far = Speech(rate, 6.0);
    const std::vector<int16_t> other(far.rbegin(), far.rend());
    const size_t delay = size_t(rate) / 25, block = size_t(rate) / 4 / 160 * 160;
    std::vector<int16_t> echo(far.size(), 0), talk(far.size(), 0);
    for (size_t i = delay; i < far.size(); ++i) echo[i] = int16_t(far[i - delay] / 2);
    for (size_t i = 0; i < far.size(); ++i) talk[i] = int16_t(echo[i] + other[i] / 2);
    std::vector<int16_t> out = echo, outTalk = talk;
    const auto t0 = std::chrono::steady_clock::now();
    {
        Canceller c(rate), d(rate);
        for (size_t k = 0; k + block <= far.size(); k += block) {
            c.Process(out.data() + k, far.data() + k, int(block));
            d.Process(outTalk.data() + k, far.data() + k, int(block));
        }
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 2;
    double in = 0, left = 0;
    for (size_t i = 2 * size_t(rate); i < 4 * size_t(rate); ++i) {
        in += double(echo[i]) * echo[i];
        left += double(out[i]) * out[i];
    }
    erle = 10.0 * std::log10(in / std::max(left, 1.0));
    // Best alignment within 30 ms: a canceller may delay its output.
    match = 0;
    const size_t from = size_t(rate) * 5 / 2, len = 2 * size_t(rate);
    for (size_t shift = 0; shift < size_t(rate) * 3 / 100; ++shift)
        match =
            std::max(match, Correlation(outTalk.data() + from + shift, other.data() + from, len));
}

void BM_EchoCanceller(benchmark::State& state) {
    const bool webrtc = state.range(0) != 0;
    const int rate = int(state.range(1));
    double erle = 0, match = 0, seconds = 0;
    for (auto _ : state) {
        if (webrtc) {
            RunCanceller<EchoCanceller>(rate, erle, match, seconds);
        } else {
            RunCanceller<SpeexCanceller>(rate, erle, match, seconds);
        }
    }
    state.counters["erle_db"] = erle;
    state.counters["double_talk_match"] = match;
    state.counters["core_pct"] = 100.0 * seconds / 6.0;
}
BENCHMARK(BM_EchoCanceller)
    ->ArgsProduct({{0, 1}, {8000, 16000, 24000}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int g_relayRounds = 5;

double Median(std::vector<double> values) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double SecondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A file descriptor closed when it goes.
class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }

  private:
    int m_fd;
};

bool ReadableWithin(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&p, 1, ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

// The relay runs as our child; it is the only turnserver whose parent we are.
pid_t ChildTurnserver() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        std::ifstream in(entry.path() / "stat");
        std::string line;
        if (!std::getline(in, line))
            continue;
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            continue;
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        if (line.substr(open + 1, close - open - 1) == "turnserver" && (rest >> state >> parent) &&
            parent == ::getpid())
            return pid_t(std::stol(entry.path().filename().string()));
    }
    return -1;
}

// utime + stime of all of a process's threads, in seconds; -1 when unreadable.
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line) || line.rfind(')') == std::string::npos)
        return -1;
    // After the name: state is field 3, utime field 14 and stime field 15.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 13 && rest >> field; ++i) {
    }
    if (!(rest >> utime >> stime))
        return -1;
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// A relay on loopback with the answering phone's relay client, which maps
// the answerer's ports there, and the calling phone's, which opens routes to
// them. Also a listening socket of its own, mapped once, to time routes.
class RelayRig {
  public:
    bool Start(std::string& why) {
        if (!test::CoturnProcess::Available()) {
            why = "turnserver is not installed";
            return false;
        }
        if (!m_relay.Start()) {
            why = "the relay did not start: " + m_relay.Log();
            return false;
        }
        m_pid = ChildTurnserver();
        if (m_pid < 0 || ProcessCpuSeconds(m_pid) < 0) {
            why = "the relay's process is not to be found";
            return false;
        }
        m_server = RelayServer{test::CoturnProcess::kListenIp, m_relay.Port(), false};
        for (auto [client, number] : {std::pair{&m_callee, "callee"}, {&m_caller, "caller"}}) {
            *client = std::make_unique<CRelayClient>();
            const auto credentials = m_relay.MakeCredentials(3600, number);
            (*client)->SetCredentials({credentials.username, credentials.password});
        }
        m_probeListener = std::make_unique<Fd>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const int fd = m_probeListener->Get();
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 4) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            why = "no listening socket for the route probe";
            return false;
        }
        int id = 0;
        m_probeGrant = Map(ntohs(address.sin_port), id);
        if (!m_probeGrant) {
            why = "the relay granted no address for the route probe: " + m_relay.Log();
            return false;
        }
        return true;
    }

    // The answerer's two ports mapped on the relay, each reached through a
    // route of the caller's client; the mappings last until UnmapCall.
    Reach Through(int portIn, int portOut) {
        Reach reach;
        for (auto [local, route] : {std::pair{portIn, &reach.portIn}, {portOut, &reach.portOut}}) {
            int id = 0;
            const auto grant = Map(local, id);
            if (id > 0)
                m_callMaps.push_back(id);
            if (!grant)
                return Reach{};
            *route = m_caller->OpenRoute(m_server, grant->address, grant->port);
        }
        return reach;
    }
    void UnmapCall() {
        for (int id : m_callMaps) m_callee->Unmap(id);
        m_callMaps.clear();
    }

    // From opening a route to the probe's relayed address to the first byte
    // sent into it arriving at the probe's socket, in seconds.
    std::optional<double> RouteToFirstByte() {
        constexpr int kLimitMs = 10000;
        const auto t0 = std::chrono::steady_clock::now();
        const int port = m_caller->OpenRoute(m_server, m_probeGrant->address, m_probeGrant->port);
        if (port <= 0)
            return std::nullopt;
        Fd out(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(port));
        const char byte = 'k';
        if (out.Get() < 0 ||
            ::connect(out.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::send(out.Get(), &byte, 1, MSG_NOSIGNAL) != 1 ||
            !ReadableWithin(m_probeListener->Get(), kLimitMs))
            return std::nullopt;
        Fd in(::accept4(m_probeListener->Get(), nullptr, nullptr, SOCK_CLOEXEC));
        char got = 0;
        if (in.Get() < 0 || !ReadableWithin(in.Get(), kLimitMs) ||
            ::recv(in.Get(), &got, 1, 0) != 1 || got != byte)
            return std::nullopt;
        return SecondsSince(t0);
    }

    double RelayCpuSeconds() const { return ProcessCpuSeconds(m_pid); }
    const std::vector<double>& MapToGrant() const { return m_mapToGrant; }

  private:
    // Maps `port` with the answerer's client and waits for the grant, which
    // comes on this thread's event loop.
    std::optional<RelayGrant> Map(int port, int& id) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        std::optional<RelayGrant> grant;
        double took = 0;
        const auto t0 = std::chrono::steady_clock::now();
        id = m_callee->Map(m_server, port, [&](const RelayGrant& g) {
            took = SecondsSince(t0);
            grant = g;
            loop.quit();
        });
        if (!grant) {
            limit.start(10000);
            loop.exec();
        }
        if (!grant) {
            // Takes the callback back before its captures go.
            m_callee->Unmap(id);
            id = 0;
            return std::nullopt;
        }
        if (grant->port <= 0)
            return std::nullopt;
        m_mapToGrant.push_back(took);
        return grant;
    }

    test::CoturnProcess m_relay;  // goes last
    pid_t m_pid = -1;
    RelayServer m_server;
    std::unique_ptr<Fd> m_probeListener;
    std::unique_ptr<CRelayClient> m_callee, m_caller;
    std::optional<RelayGrant> m_probeGrant;
    std::vector<int> m_callMaps;
    std::vector<double> m_mapToGrant;
};

void BM_RelayCall(benchmark::State& state) {
    const int rate = int(state.range(0)), delay = int(state.range(1));
    constexpr double kSeconds = 6.0;
    // Both calls wait alike after the accept: the relay may still be joining
    // the callee's side then, and drops what arrives before.
    constexpr std::chrono::milliseconds kSettle{200};
    RelayRig rig;
    std::string why;
    if (!rig.Start(why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<double> direct, relayed, routes;
    double relayCpu = 0, relayedSeconds = 0;
    int failed = 0;
    for (auto _ : state) {
        for (int round = 0; round < g_relayRounds; ++round) {
            double m2e[2] = {-1, -1};
            // Each goes first in every other round, so that load drifting
            // over a round weighs on both alike.
            for (int k = 0; k < 2; ++k) {
                const bool viaRelay = (k + round) % 2 == 1;
                CallPath path;
                path.settle = kSettle;
                if (viaRelay) {
                    path.reach = [&](int in, int out) { return rig.Through(in, out); };
                    path.besideCpu = [&] { return rig.RelayCpuSeconds(); };
                }
                const CallResult r = RunCall(rate, delay, kSeconds, false, path);
                if (viaRelay) {
                    rig.UnmapCall();
                    if (r.connected) {
                        relayCpu += r.besideCpuSeconds;
                        relayedSeconds += r.audioSeconds;
                    }
                    if (const auto route = rig.RouteToFirstByte())
                        routes.push_back(*route);
                    else
                        ++failed;
                }
                if (!r.connected || r.mouthToEar < 0) {
                    ++failed;
                    continue;
                }
                m2e[viaRelay] = r.mouthToEar;
                (viaRelay ? relayed : direct).push_back(r.mouthToEar);
            }
            std::fprintf(stderr, "round %d: mouth-to-ear direct %.1f ms, relayed %.1f ms\n",
                         round + 1, 1000.0 * m2e[0], 1000.0 * m2e[1]);
        }
    }
    const double d = Median(direct), r = Median(relayed);
    state.counters["rounds"] = g_relayRounds;
    state.counters["failed"] = failed;
    state.counters["direct_mouth_to_ear_ms"] = 1000.0 * d;
    state.counters["relayed_mouth_to_ear_ms"] = 1000.0 * r;
    state.counters["relay_adds_ms"] = d >= 0 && r >= 0 ? 1000.0 * (r - d) : -1;
    state.counters["coturn_cpu_pct"] = relayedSeconds > 0 ? 100.0 * relayCpu / relayedSeconds : -1;
    state.counters["map_to_grant_ms"] = 1000.0 * Median(rig.MapToGrant());
    state.counters["route_to_first_byte_ms"] = 1000.0 * Median(routes);
}
BENCHMARK(BM_RelayCall)
    ->ArgNames({"rate", "delay"})
    ->Args({8000, 250})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// BM_LossyCall: a call of two phones of this version (Opus at 16 kHz in 20 ms
// frames, the adaptive playout buffer, a 250 ms delay bound; opus 0: the
// call in 250 ms blocks of G.729 at 8000 Hz beside it) between two engines
// on the file devices, in a network namespace of the benchmark's own whose
// loopback, once the streams are up, drops loss_permille of all TCP segments
// at random (nftables numgen), both ways. heard_pct: of the loud half
// seconds of each talker's 20 s of speech, the share found in the other's
// loudspeaker at a waveform match of 0.5 or more; spread_ms: the largest
// difference in arrival delay between two of them within the call; both for
// the worse direction. playout_ms, late, concealed, dropped: the answerer's
// playout buffer at the end. Needs root for the namespace.
void BM_LossyCall(benchmark::State& state) {
    const int lossPermille = int(state.range(0));
    const bool opus = state.range(1) != 0;
    const int kRate = opus ? 16000 : 8000;
    const double kSeconds = 20.0;
    double heardPct = -1, spreadMs = -1;
    CAudioEngine::Quality playout;
    std::string failure;
    for (auto _ : state) {
        // The namespace belongs to this thread and the engines' threads it
        // starts; it goes with them.
        std::thread call([&] {
            const fs::path dir =
                fs::temp_directory_path() / ("kestrona-bench-loss-" + std::to_string(::getpid()));
            fs::create_directories(dir);
            if (!EnterOwnNetwork(failure)) {
                fs::remove_all(dir);
                return;
            }
            const std::vector<int16_t> once = Speech(kRate, 6.0);
            std::vector<int16_t> speech;
            while (speech.size() < size_t(kSeconds * kRate))
                speech.insert(speech.end(), once.begin(), once.end());
            const std::vector<int16_t> back(speech.rbegin(), speech.rend());
            WriteRaw(dir / "a.raw", speech);
            WriteRaw(dir / "b.raw", back);
            auto backendA = std::make_shared<FileAudioBackend>((dir / "a.raw").string(),
                                                               (dir / "a.wav").string());
            auto backendB = std::make_shared<FileAudioBackend>((dir / "b.raw").string(),
                                                               (dir / "b.wav").string());
            RecordingOwner ownerA, ownerB;
            bool connected = false;
            {
                CAudioEngine a, b;
                for (auto [e, backend] : {std::pair{&a, backendA}, std::pair{&b, backendB}}) {
                    e->SetAudioBackend(backend);
                    e->SetCodec(MakePrivateSpeechCodec());
                    e->SetEchoControl(CAudioEngine::EchoControl::kOff);
                    if (opus)
                        e->SetFrameCodec(MakeOpusFrameCodec());
                }
                b.Init(&ownerB, kRate, 250, true, "", 0, 0);
                b.Listen(0, 0);
                a.Init(&ownerA, kRate, 250, true, "", 0, 0);
                connected =
                    a.Connect("127.0.0.1", b.m_portIn, b.m_portOut) &&
                    WaitUntil([&] { return b.m_sockIn.load() >= 0 && b.m_sockOut.load() >= 0; },
                              std::chrono::seconds(20));
                // The loss starts once the streams are up.
                if (connected && !LoseSegments(lossPermille, dir, failure))
                    connected = false;
                if (connected) {
                    b.StartReceive();
                    b.StartSend();
                    a.StartReceive();
                    a.StartSend();
                    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
                    playout = b.QualityNow();
                }
                a.Stop();
                b.Stop();
            }
            if (!connected) {
                if (failure.empty())
                    failure = "the streams did not connect";
                fs::remove_all(dir);
                return;
            }
            // Speech said in the last second and a half may not have arrived.
            const size_t upTo = size_t((kSeconds - 1.5) * kRate);
            const ChunkArrivals ab = MatchChunks(ReadSpeaker(dir / "b.wav"), speech, upTo, kRate);
            const ChunkArrivals ba = MatchChunks(ReadSpeaker(dir / "a.wav"), back, upTo, kRate);
            const auto share = [](const ChunkArrivals& c) {
                return c.loud > 0 ? 100.0 * c.heard / c.loud : 0.0;
            };
            heardPct = std::min(share(ab), share(ba));
            spreadMs = 1000.0 * std::max(ab.spreadSeconds, ba.spreadSeconds);
            fs::remove_all(dir);
        });
        call.join();
    }
    if (!failure.empty()) {
        state.SkipWithError(failure.c_str());
        return;
    }
    state.counters["heard_pct"] = heardPct;
    state.counters["spread_ms"] = spreadMs;
    if (opus) {
        state.counters["playout_ms"] = playout.delayMs;
        state.counters["late"] = double(playout.late);
        state.counters["concealed"] = double(playout.concealed);
        state.counters["dropped"] = double(playout.dropped);
    }
}
BENCHMARK(BM_LossyCall)
    ->ArgNames({"loss_permille", "opus"})
    ->ArgsProduct({{0, 30, 80}, {1, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

// --relay_rounds=N is this program's; the rest goes to the benchmark library.
// The relay clients answer on the main thread's event loop.
int main(int argc, char** argv) {
    std::vector<char*> args;
    constexpr std::string_view kRounds = "--relay_rounds=";
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg.rfind(kRounds, 0) != 0) {
            args.push_back(argv[i]);
            continue;
        }
        const std::string_view value = arg.substr(kRounds.size());
        int rounds = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), rounds);
        if (error != std::errc() || end != value.data() + value.size() || rounds < 1 ||
            rounds > 1000) {
            std::fprintf(stderr, "%s: --relay_rounds takes a number from 1 to 1000\n", argv[0]);
            return 2;
        }
        g_relayRounds = rounds;
    }
    int count = int(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    int qtArgc = 1;
    char name[] = "media_bench";
    char* qtArgv[] = {name, nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
