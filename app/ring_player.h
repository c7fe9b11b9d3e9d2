// Plays the ring sounds (small WAV files) on the default wave-out device. A
// new sound cuts the one still playing, as a ring that repeats must.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio_backend.h"

namespace kestrona {

class CRingPlayer {
  public:
    explicit CRingPlayer(std::shared_ptr<AudioBackend> backend = nullptr);
    ~CRingPlayer();
    CRingPlayer(const CRingPlayer&) = delete;
    CRingPlayer& operator=(const CRingPlayer&) = delete;

    // Starts the sound and returns at once; lengthMs (when given) receives
    // how long it plays. False when the file cannot be read or no device
    // takes it (the call goes on silently then).
    bool PlayAsync(const std::filesystem::path& file, int* lengthMs = nullptr);
    // Percent of the files' own level (0 to 100) for the sounds started
    // from now on.
    void SetLevel(int percent) { m_nLevel = percent; }
    void Stop();

  private:
    struct Sound;
    bool Start(const std::filesystem::path& file);

    std::shared_ptr<AudioBackend> m_backend;
    std::shared_ptr<Sound> m_current;
    int m_nLevel = 100;
};

}  // namespace kestrona
