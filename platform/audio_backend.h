// The source of wave devices. One backend serves a whole process unless a
// caller (a test running two phones in one process) hands its own to the
// objects that open devices.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/wave_device.h"

namespace kestrona {

class AudioBackend {
  public:
    virtual ~AudioBackend() = default;

    // Number of devices of each kind (0 or 1: only the default device is used).
    virtual int WaveInDeviceCount() = 0;
    virtual int WaveOutDeviceCount() = 0;
    // Asks whether the default device would accept the format; opens nothing.
    virtual WaveResult QueryWaveIn(const WaveFormat& format) = 0;
    virtual WaveResult QueryWaveOut(const WaveFormat& format) = 0;
    // Opens the default device. On failure returns null and sets *result (and
    // *error, a readable reason, when given).
    virtual std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat& format,
                                                     WaveDoneCallback done, WaveResult* result,
                                                     std::string* error = nullptr) = 0;
    virtual std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat& format,
                                                       WaveDoneCallback done, WaveResult* result,
                                                       std::string* error = nullptr) = 0;
    // "portaudio", "null" or "file".
    virtual std::string Name() const = 0;
};

// Builds a backend from a KESTRONA_AUDIO value. An unknown or malformed value
// gives the null backend and a reason in *error.
std::shared_ptr<AudioBackend> MakeAudioBackend(std::string_view choice,
                                               std::string* error = nullptr);

std::shared_ptr<AudioBackend> MakeNullAudioBackend();
std::shared_ptr<AudioBackend> MakePortAudioBackend();
// mic: WAV (16-bit mono PCM) or raw 16-bit little-endian mono file, empty for
// silence. speaker: WAV file written in real time, empty to discard.
std::shared_ptr<AudioBackend> MakeFileAudioBackend(std::string mic, std::string speaker);

// The process's backend, made once from KESTRONA_AUDIO (a bad value is
// reported on standard error and gives the null backend).
std::shared_ptr<AudioBackend> ProcessAudioBackend();

}  // namespace kestrona
