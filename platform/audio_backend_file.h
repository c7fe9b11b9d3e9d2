// The file backend: a wave-in device that plays a file into the program in
// real time, and wave-out devices that write what they play, in real time, to
// a WAV file.
//
// Microphone: the whole file is loaded when the device opens. A WAV is
// converted to mono and to the device's rate; a raw file is taken as 16-bit
// little-endian mono at the device's rate. Capture follows the clock from
// Start: a buffer comes back when its last sample is "due", and samples due
// while no buffer was queued are lost, as on a real device. After the end of
// the file the microphone gives silence (it does not loop), so a test can
// find each spoken sample exactly once.
//
// Loudspeaker: one WAV per path per process, created (truncated) by the first
// device that opens it, at that device's rate; devices opened later at another
// rate are converted to it. The file is a timeline: a played buffer lands at
// the sample position of the moment it started playing, gaps while a device
// had nothing to play are silence, and devices open at the same time (the
// wave player's two) are mixed. While no device is open the timeline pauses,
// so a device opened later appends right after the end of the file. The
// header is kept current after every buffer, so the file can be read at any
// time. If the file has been removed while no device had it open, the next
// open creates it anew.
//
// Echo path (SetEchoPath, or ",echo" after SPEAKER in KESTRONA_AUDIO): the
// microphone also hears what this backend's loudspeaker plays, later and
// quieter, as the microphone of a laptop hears its own speakers. It needs a
// speaker file; the sound is taken from the loudspeaker's timeline as it is
// written, so the microphone hears every sound the process plays.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/audio_backend.h"

namespace kestrona {

class SpeakerSink;

class FileAudioBackend : public AudioBackend {
  public:
    using Clock = std::chrono::steady_clock;

    FileAudioBackend(std::string mic, std::string speaker);

    int WaveInDeviceCount() override { return 1; }
    int WaveOutDeviceCount() override { return 1; }
    WaveResult QueryWaveIn(const WaveFormat& format) override;
    WaveResult QueryWaveOut(const WaveFormat& format) override;
    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat& format, WaveDoneCallback done,
                                             WaveResult* result, std::string* error) override;
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat& format, WaveDoneCallback done,
                                               WaveResult* result, std::string* error) override;
    std::string Name() const override { return "file"; }

    // The microphone hears the loudspeaker delayMs later, gainDb louder (a
    // negative gain attenuates). Set before devices are opened.
    static constexpr int kDefaultEchoDelayMs = 40;
    static constexpr double kDefaultEchoGainDb = -6.0;
    void SetEchoPath(int delayMs = kDefaultEchoDelayMs, double gainDb = kDefaultEchoGainDb);

    const std::string& MicPath() const { return m_mic; }
    const std::string& SpeakerPath() const { return m_speaker; }

    // For delay measurements: when the last wave-in device opened by this
    // backend was started (microphone sample 0 was "spoken" then), and when
    // a sample position of the speaker file was played.
    std::optional<Clock::time_point> LastWaveInStart() const;
    std::optional<Clock::time_point> SpeakerTimeOfSample(int64_t position) const;

    // Called by the wave-in device on Start.
    void NoteWaveInStart(Clock::time_point t);
    // Called by the wave-in device for every buffer: adds the echo of what
    // played from (from - echo delay) on.
    void AddEcho(Clock::time_point from, uint32_t rate, int16_t* samples, size_t n);

  private:
    std::string m_mic;
    std::string m_speaker;
    mutable std::mutex m_mutex;
    std::optional<Clock::time_point> m_waveInStart;
    std::shared_ptr<SpeakerSink> m_lastSink;
    std::shared_ptr<SpeakerSink> m_echoSink;  // set once, before any device opens
    Clock::duration m_echoDelay{};
    double m_echoGain = 0.0;
};

}  // namespace kestrona
