// A short tone on one playback device: the sound page's test button, so a
// user hears which device is which before choosing it.
//
// Opening a device asks the sound server, which may have stopped answering:
// the tone is opened, played and closed in the background, one step after
// the other in the order asked for, and the caller hears the outcome through
// a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_backend.h"

namespace kestrona {

class TestSound {
  public:
    static constexpr uint32_t kRate = 8000;
    // ok, and when not, a readable reason. Called on a background thread.
    using Done = std::function<void(bool ok, const std::string& why)>;

    TestSound();
    // Stops the tone without waiting for the device.
    ~TestSound();
    TestSound(const TestSound&) = delete;
    TestSound& operator=(const TestSound&) = delete;

    // Stops any earlier tone and plays the tone on device id ("" is the
    // default). Returns at once; `done` (may be empty) follows.
    void Play(std::shared_ptr<AudioBackend> backend, std::string id, Done done);
    // Returns at once; the device is closed in the background.
    void Stop();

  private:
    struct Tone;
    class Sequence;

    std::shared_ptr<const std::vector<int16_t>> m_samples;
    std::shared_ptr<Sequence> m_sequence;
    std::shared_ptr<Tone> m_current;
};

}  // namespace kestrona
