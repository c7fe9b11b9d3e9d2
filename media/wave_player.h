// Plays the two recording files of one call ("record/<stem>in" and
// "record/<stem>out", raw 16-bit mono PCM) at once on two wave-out devices.
// Posts kMsgPlaybackDone to the owner each time one file has finished. Play
// and Stop never block the caller: stopping runs on a short worker thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "media/engine_owner.h"
#include "platform/audio_backend.h"
#include "platform/wave_device.h"

class CWavePlayer {
  public:
    CWavePlayer();
    // Stops playback and waits for every stop worker this player started.
    virtual ~CWavePlayer();
    CWavePlayer(const CWavePlayer&) = delete;
    CWavePlayer& operator=(const CWavePlayer&) = delete;

    // Optional: the devices to use (default: the process's backend).
    void SetAudioBackend(std::shared_ptr<kestrona::AudioBackend> backend);

    void Play(const std::filesystem::path& inPath, const std::filesystem::path& outPath,
              int sampleRate, kestrona::IEngineOwner* owner);
    // Does nothing unless playing.
    void Stop();

    // True from Play until a stop has been carried out.
    bool IsPlaying() const;

    kestrona::IEngineOwner* m_owner = nullptr;
    kestrona::WaveFormat m_format;

  private:
    struct Playback;  // the devices and buffers of one Play
    std::shared_ptr<kestrona::AudioBackend> m_backend;
    std::shared_ptr<Playback> m_current;
    std::mutex m_workersMutex;
    std::vector<std::thread> m_workers;
};
