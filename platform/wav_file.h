// Minimal reading and writing of 16-bit PCM WAV files (RIFF, "fmt " chunk of
// format 1, "data" chunk), plus raw headerless 16-bit little-endian PCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrona {

struct PcmAudio {
    uint32_t rate = 0;
    uint16_t channels = 1;
    std::vector<int16_t> samples;  // interleaved when channels > 1
};

// The sample rates a WAV file may declare.
inline constexpr uint32_t kMinWavRate = 1000;
inline constexpr uint32_t kMaxWavRate = 384000;

// Reads a 16-bit PCM WAV file. False with a reason in error when the file is
// missing, not RIFF/WAVE, not 16-bit PCM, has a rate outside kMinWavRate to
// kMaxWavRate, or is truncated before its data.
bool ReadWavFile(const std::filesystem::path& path, PcmAudio& out, std::string& error);

// Reads a WAV when the file starts with "RIFF", otherwise the whole file as raw
// 16-bit little-endian mono (rate left 0). An odd trailing byte is dropped.
bool ReadWavOrRawFile(const std::filesystem::path& path, PcmAudio& out, std::string& error);

// Reads raw 16-bit little-endian mono PCM (the recording format).
bool ReadRawPcmFile(const std::filesystem::path& path, std::vector<int16_t>& out,
                    std::string& error);

// Writes a whole 16-bit PCM WAV file (replacing any old one).
bool WriteWavFile(const std::filesystem::path& path, const PcmAudio& audio, std::string& error);

// Linear-interpolation rate change of mono samples (same samples when the
// rates are equal). Enough for test signals and ring tones, not for music.
void ResampleLinear(const int16_t* in, size_t n, uint32_t fromRate, uint32_t toRate,
                    std::vector<int16_t>& out);

// Mono from interleaved samples (the mean of the channels).
std::vector<int16_t> MixToMono(const std::vector<int16_t>& samples, uint16_t channels);

// The 44-byte header of a canonical 16-bit PCM WAV with dataBytes of samples.
std::vector<uint8_t> WavHeaderBytes(uint32_t rate, uint16_t channels, uint32_t dataBytes);

}  // namespace kestrona
