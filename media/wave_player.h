// Plays the two recording files of one call ("record/<stem>in" and
// "record/<stem>out", raw 16-bit mono PCM) at once on two wave-out devices.
// Posts kMsgPlaybackDone to the owner each time one file has finished. Play
// and Stop never block the caller: stopping runs on a short worker thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <thread>

#include "media/engine_owner.h"
#include "platform/audio_backend.h"
#include "platform/wave_device.h"

class CWavePlayer {
  public:
    CWavePlayer();
    // Stops playback and waits for the stop worker, so no message is posted
    // after the player is gone.
    virtual ~CWavePlayer();
    CWavePlayer(const CWavePlayer&) = delete;
    CWavePlayer& operator=(const CWavePlayer&) = delete;

    // Optional: the devices to use (default: the process's backend).
    void SetAudioBackend(std::shared_ptr<kestrona::AudioBackend> backend);

    void Play(const std::filesystem::path& inPath, const std::filesystem::path& outPath,
              int sampleRate, kestrona::IEngineOwner* owner);
    // Does nothing unless playing. Buffers given back by a stop post nothing.
    void Stop();

    // True from Play until a stop has been carried out.
    bool IsPlaying() const { return m_playing.load() != 0; }

    kestrona::IEngineOwner* m_owner = nullptr;
    kestrona::WaveFormat m_format;

  private:
    struct Playback;  // the devices and buffers of one Play
    std::shared_ptr<kestrona::AudioBackend> m_backend;
    std::shared_ptr<Playback> m_current;
    // Non-zero while playing: the number of the Play that started it, so a
    // late stop worker of an earlier Play does not clear a newer one's flag.
    std::atomic<uint64_t> m_playing{0};
    uint64_t m_plays = 0;
    std::thread m_worker;
};
