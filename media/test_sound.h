// A short tone on one playback device: the sound page's test button, so a
// user hears which device is which before choosing it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_backend.h"

namespace kestrona {

class TestSound {
  public:
    static constexpr uint32_t kRate = 8000;
    TestSound();
    ~TestSound();
    TestSound(const TestSound&) = delete;
    TestSound& operator=(const TestSound&) = delete;

    // Stops any earlier tone and plays the tone on device id ("" is the
    // default). False, with a reason, when the device cannot be opened.
    bool Play(AudioBackend& backend, const std::string& id, std::string* error = nullptr);
    bool Playing() const { return !m_done.load(); }
    void Stop();

  private:
    std::vector<int16_t> m_tone;
    WaveHeader m_header;
    std::unique_ptr<WaveOutDevice> m_device;
    std::atomic<bool> m_done{true};
};

}  // namespace kestrona
