// What encryption costs a call.
//
// All shares are CPU time of the benchmark's thread per second of call
// audio, not wall-clock time.
//
// BM_CallAudioPath/rate/sealed: one second of one phone's audio path with
// the shortest delay buffer (the most, smallest blocks): code one second of
// speech, (seal it,) (open the peer's second,) decode it. Run with and without
// sealing in the same process; core_pct_per_phone is the share of one core.
//
// BM_SealOpen/rate: the sealing alone, one second of one phone's blocks
// sealed and the peer's opened: core_pct_per_phone is what encryption adds
// to each phone of a call; added_delay_us is the time one block spends in
// seal and open, the only delay encryption adds (blocks are sealed as they
// are sent and opened as they arrive, never held back).
//
// BM_Handshake: the whole key exchange, both sides in one thread
// (core_ms_per_call), and amortised over a one-minute call.
#include <benchmark/benchmark.h>

#include <time.h>

#include <vector>

#include "media/audio_engine.h"
#include "media/speech_codec.h"
#include "net/call_handshake.h"
#include "platform/audio_backend.h"
#include "platform/call_crypto.h"

namespace {

using kestrona::CallHandshake;
using kestrona::SecretKey32;
using kestrona::StreamOpener;
using kestrona::StreamSealer;

constexpr int kShortestDelayMs = 250;

// One phone's blocks of one second: the coded block size and how many.
struct Blocks {
    int pcmBytes = 0;
    int codedBytes = 0;
    int perSecond = 0;
};

Blocks BlocksFor(int rate) {
    Blocks b;
    b.pcmBytes = CAudioEngine::BlockBytesFor(rate, kShortestDelayMs);
    b.codedBytes = b.pcmBytes / 16;
    b.perSecond = (rate * 2 + b.pcmBytes - 1) / b.pcmBytes;
    return b;
}

// This thread's CPU time in seconds: the counters below are shares of a
// core, which wall-clock time on a shared machine would overstate.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

SecretKey32 Key(uint8_t fill) {
    SecretKey32 k;
    k.bytes.fill(fill);
    return k;
}

// A sealer and, on the far side, its opener: one direction of a stream.
struct Direction {
    StreamSealer sealer;
    StreamOpener opener;
    explicit Direction(const SecretKey32& key) : sealer(key) {
        opener.Start(key, sealer.Header().data());
    }
};

// Tone-and-noise input: the codec's cost does not depend much on content.
std::vector<int16_t> Signal(size_t samples) {
    std::vector<int16_t> pcm(samples);
    uint32_t x = 12345;
    for (size_t i = 0; i < samples; ++i) {
        x = x * 1664525u + 1013904223u;
        pcm[i] = int16_t(int((i * 37) % 2000) - 1000 + int(x >> 22) - 512);
    }
    return pcm;
}

void BM_CallAudioPath(benchmark::State& state) {
    const int rate = int(state.range(0));
    const bool sealed = state.range(1) != 0;
    CAudioEngine e;
    e.SetAudioBackend(kestrona::MakeNullAudioBackend());
    e.SetCodec(kestrona::MakePrivateSpeechCodec());
    e.Init(nullptr, rate, kShortestDelayMs, true, "", 0, 0);
    const Blocks b = BlocksFor(rate);
    const std::vector<int16_t> pcm = Signal(size_t(b.pcmBytes / 2));
    std::vector<uint8_t> coded(size_t(b.pcmBytes)), wire(size_t(b.codedBytes) + 17),
        opened(size_t(b.codedBytes)), out(size_t(b.pcmBytes));
    Direction send(Key(1)), receive(Key(2));
    double peerCpu = 0;
    const double start = ThreadCpuSeconds();
    for (auto _ : state) {
        for (int i = 0; i < b.perSecond; ++i) {
            int cl = 0, pl = 0;
            e.EncodeBlock(reinterpret_cast<const uint8_t*>(pcm.data()), b.pcmBytes, coded.data(),
                          cl);
            const uint8_t* in = coded.data();
            if (sealed) {
                send.sealer.Seal(coded.data(), size_t(cl), wire.data());
                // The peer's block of the other direction, as it arrives;
                // sealing it is the peer's work.
                const double t0 = ThreadCpuSeconds();
                receive.sealer.Seal(coded.data(), size_t(cl), wire.data());
                peerCpu += ThreadCpuSeconds() - t0;
                if (!receive.opener.Open(wire.data(), wire.size(), opened.data()))
                    state.SkipWithError("a block did not open");
                in = opened.data();
            }
            e.DecodeBlock(in, cl, out.data(), pl);
            benchmark::DoNotOptimize(out.data());
        }
    }
    const double cpu = ThreadCpuSeconds() - start - peerCpu;
    state.counters["core_pct_per_phone"] = 100.0 * cpu / double(state.iterations());
}
BENCHMARK(BM_CallAudioPath)
    ->ArgNames({"rate", "sealed"})
    ->Args({8000, 0})
    ->Args({8000, 1})
    ->Args({16000, 0})
    ->Args({16000, 1})
    ->Args({24000, 0})
    ->Args({24000, 1})
    ->Unit(benchmark::kMillisecond);

void BM_SealOpen(benchmark::State& state) {
    const int rate = int(state.range(0));
    const Blocks b = BlocksFor(rate);
    std::vector<uint8_t> coded(size_t(b.codedBytes), 0x55), wire(coded.size() + 17),
        opened(coded.size());
    Direction mine(Key(1)), peers(Key(2));
    double cpu = 0;
    for (auto _ : state) {
        for (int i = 0; i < b.perSecond; ++i) {
            const double t0 = ThreadCpuSeconds();
            mine.sealer.Seal(coded.data(), coded.size(), wire.data());
            benchmark::DoNotOptimize(wire.data());
            cpu += ThreadCpuSeconds() - t0;
            // What the peer sealed for us; sealing it is the peer's work.
            peers.sealer.Seal(coded.data(), coded.size(), wire.data());
            const double t1 = ThreadCpuSeconds();
            if (!peers.opener.Open(wire.data(), wire.size(), opened.data()))
                state.SkipWithError("a block did not open");
            benchmark::DoNotOptimize(opened.data());
            cpu += ThreadCpuSeconds() - t1;
        }
    }
    const double seconds = double(state.iterations());
    state.counters["core_pct_per_phone"] = 100.0 * cpu / seconds;
    state.counters["block_bytes"] = b.codedBytes;
    state.counters["blocks_per_s"] = b.perSecond;
    state.counters["added_delay_us"] = 1e6 * cpu / (seconds * b.perSecond);
}
BENCHMARK(BM_SealOpen)->Arg(8000)->Arg(16000)->Arg(24000)->Unit(benchmark::kMicrosecond);

void BM_Handshake(benchmark::State& state) {
    const auto alice = kestrona::IdentityKey::Generate();
    const auto bob = kestrona::IdentityKey::Generate();
    uint8_t request[48] = {'R', 'E', 'Q', 'U', 'E', 'S', 'T', 'C', 'A', 'L', 'L'};
    request[28] = 1;
    const double start = ThreadCpuSeconds();
    for (auto _ : state) {
        CallHandshake caller(CallHandshake::Role::kCaller, alice, request);
        CallHandshake callee(CallHandshake::Role::kCallee, bob, request);
        auto r = callee.OutgoingRecord();
        caller.OnRecord(r.data(), r.size());
        r = caller.OutgoingRecord();
        callee.OnRecord(r.data(), r.size());
        r = callee.OutgoingRecord();
        if (caller.OnRecord(r.data(), r.size()) != CallHandshake::Step::kDone)
            state.SkipWithError("the exchange failed");
        benchmark::DoNotOptimize(caller.Keys().sas.data());
    }
    const double perCall = (ThreadCpuSeconds() - start) / double(state.iterations());
    state.counters["core_ms_per_call"] = 1e3 * perCall;
    // Each phone does about half; its share of a core over a one-minute call.
    state.counters["core_pct_per_phone_1min"] = 100.0 * perCall / 2 / 60;
}
BENCHMARK(BM_Handshake)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
