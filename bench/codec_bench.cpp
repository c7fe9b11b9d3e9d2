// Time per 80-sample frame of the G.729 Annex A encoder and decoder on speech.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codec/bitstream.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "tools/wav_io.h"

namespace {

using kestrona::codec::kFrameBytes;
using kestrona::codec::kFrameSamples;
using kestrona::codec::kParamCount;

const std::vector<int16_t>& Speech() {
    static const std::vector<int16_t> samples = [] {
        kestrona::tools::PcmAudio audio;
        std::string error;
        if (!kestrona::tools::ReadPcmFile(KESTRONA_SOURCE_DIR "/tests/data/speech_8k.wav", 8000,
                                          &audio, &error)) {
            std::fprintf(stderr, "%s; timing silence instead\n", error.c_str());
        }
        std::vector<int16_t> s = std::move(audio.samples);
        s.resize(s.size() / kFrameSamples * kFrameSamples);
        if (s.empty()) {
            s.assign(kFrameSamples * 100, 0);
        }
        return s;
    }();
    return samples;
}

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

void BM_EncodeFrame(benchmark::State& state) {
    const std::vector<int16_t>& pcm = Speech();
    const size_t frames = pcm.size() / kFrameSamples;
    G729EncoderState enc;
    kestrona::codec::EncoderInit(enc);
    uint8_t out[kFrameBytes];
    int32_t params[kParamCount];
    size_t i = 0;
    for (auto _ : state) {
        kestrona::codec::EncodeToParams(enc, &pcm[i * kFrameSamples], params);
        enc.packer.Pack(params, out);
        benchmark::DoNotOptimize(out);
        i = i + 1 == frames ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeFrame);

void BM_DecodeFrame(benchmark::State& state) {
    const std::vector<uint8_t> bits = EncodeAll(Speech());
    const size_t frames = bits.size() / kFrameBytes;
    G729DecoderState dec;
    kestrona::codec::DecoderInit(dec);
    int16_t out[kFrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        kestrona::codec::DecodeFrame(dec, &bits[i * kFrameBytes], out, 0);
        benchmark::DoNotOptimize(out);
        i = i + 1 == frames ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeFrame);

}  // namespace

BENCHMARK_MAIN();
