// Feeds arbitrary files to the two WAV readers: the phone's (ring sounds the
// user picks, audio files standing in for a microphone) and the codec tool's.
// A file either fails with a reason or gives audio that the rest of the
// program can use as it is: a usable rate, no more samples than the file
// holds, and the same audio again after writing it out and reading it back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/scratch_dir.h"
#include "platform/wav_file.h"
#include "tools/wav_io.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void CheckPhoneReader(const std::filesystem::path& file, size_t size) {
    kestrona::PcmAudio audio;
    std::string error;
    if (!kestrona::ReadWavFile(file, audio, error)) {
        Require(!error.empty());
    } else {
        Require(audio.channels > 0 && audio.rate >= 1000 && audio.rate <= 384000);
        Require(audio.samples.size() * 2 <= size);
        // Written out and read back, the audio is the same.
        const std::filesystem::path copy = fuzz::ScratchDir() / "copy.wav";
        Require(kestrona::WriteWavFile(copy, audio, error));
        kestrona::PcmAudio again;
        Require(kestrona::ReadWavFile(copy, again, error));
        Require(again.rate == audio.rate && again.channels == audio.channels &&
                again.samples == audio.samples);
        (void)kestrona::MixToMono(audio.samples, audio.channels);
    }

    kestrona::PcmAudio any;
    if (kestrona::ReadWavOrRawFile(file, any, error)) {
        Require(any.samples.size() * 2 <= size);
        Require(any.rate == 0 || (any.rate >= 1000 && any.rate <= 384000));
        if (any.rate != 0 && !any.samples.empty()) {
            // What the file audio device does with it: mono at a call's rate.
            std::vector<int16_t> mono = kestrona::MixToMono(any.samples, any.channels);
            std::vector<int16_t> resampled;
            kestrona::ResampleLinear(mono.data(), mono.size(), any.rate, 8000, resampled);
        }
    }
}

void CheckToolReader(const std::filesystem::path& file, size_t size) {
    kestrona::tools::PcmAudio audio;
    std::string error;
    if (!kestrona::tools::ReadPcmFile(file.string(), 8000, &audio, &error)) {
        Require(!error.empty());
        return;
    }
    Require(audio.rate > 0 && audio.samples.size() * 2 <= size);
    const std::string copy = (fuzz::ScratchDir() / "tool-copy.wav").string();
    Require(kestrona::tools::WriteWavFile(copy, audio.samples, audio.rate, &error));
    kestrona::tools::PcmAudio again;
    Require(kestrona::tools::ReadPcmFile(copy, 8000, &again, &error));
    Require(again.was_wav && again.rate == audio.rate && again.samples == audio.samples);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The tool reads a file without a RIFF header as raw audio unless its name
    // says .wav: both names are tried.
    const std::filesystem::path wav = fuzz::ScratchDir() / "input.wav";
    fuzz::WriteFile(wav, data, size);
    CheckPhoneReader(wav, size);
    CheckToolReader(wav, size);
    const std::filesystem::path raw = fuzz::ScratchDir() / "input.pcm";
    fuzz::WriteFile(raw, data, size);
    CheckToolReader(raw, size);
    return 0;
}
