// Reading and writing mono 16-bit PCM as WAV or raw little-endian files, for
// the codec tool and the codec tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrona::tools {

struct PcmAudio {
    std::vector<int16_t> samples;
    int rate = 8000;
    bool was_wav = false;
};

// Reads IN as WAV when it starts with a RIFF/WAVE header, else as raw 16-bit
// little-endian mono PCM at raw_rate. On failure returns false and sets
// *error to a message naming the file and the fault.
bool ReadPcmFile(const std::string& path, int raw_rate, PcmAudio* out, std::string* error);

// Writes samples as a WAV file (mono, 16-bit, the given rate).
bool WriteWavFile(const std::string& path, const std::vector<int16_t>& samples, int rate,
                  std::string* error);

// The 44-byte header of a mono 16-bit PCM WAV file holding data_bytes of
// samples at the given rate; the caller checks that the sizes fit in 32 bits.
inline constexpr size_t kWavHeaderBytes = 44;
void WavHeader(uint32_t data_bytes, int rate, uint8_t out[kWavHeaderBytes]);

// Writes samples as raw 16-bit little-endian PCM.
bool WriteRawFile(const std::string& path, const std::vector<int16_t>& samples, std::string* error);

// Whole-file byte I/O.
bool ReadBytes(const std::string& path, std::vector<uint8_t>* out, std::string* error);
bool WriteBytes(const std::string& path, const uint8_t* data, size_t size, std::string* error);

// True when the name ends in ".wav" (any case).
bool HasWavExtension(const std::string& path);

}  // namespace kestrona::tools
