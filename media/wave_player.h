// Plays the two recording files of one call ("record/<stem>in" and
// "record/<stem>out", raw 16-bit mono PCM) at once on two wave-out devices.
// Posts kMsgPlaybackDone to the owner each time one file has finished. Play,
// Stop and the destructor never block the caller: the devices are reset and
// closed in the background.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "media/engine_owner.h"
#include "platform/audio_backend.h"
#include "platform/wave_device.h"

class CWavePlayer {
  public:
    CWavePlayer();
    // Stops playback; no message is posted once it has returned.
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
    bool IsPlaying() const { return m_playing->load() != 0; }

    kestrona::IEngineOwner* m_owner = nullptr;
    kestrona::WaveFormat m_format;

  private:
    struct Playback;  // the devices and buffers of one Play
    static void Retire(std::shared_ptr<Playback> pb);

    std::shared_ptr<kestrona::AudioBackend> m_backend;
    std::shared_ptr<Playback> m_current;
    // Non-zero while playing: the number of the Play that started it, so a
    // late stop of an earlier Play does not clear a newer one's flag.
    // Shared with the background stop, which may outlive the player.
    std::shared_ptr<std::atomic<uint64_t>> m_playing;
    uint64_t m_plays = 0;
};
