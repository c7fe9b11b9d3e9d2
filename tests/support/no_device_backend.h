// A sound backend that reports one device each way and opens none: the base
// of test backends that only care about what is listed, chosen or told.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "platform/audio_backend.h"

namespace kestrona::test {

class NoDeviceBackend : public AudioBackend {
  public:
    explicit NoDeviceBackend(std::string name) : m_name(std::move(name)) {}
    int WaveInDeviceCount() override { return 1; }
    int WaveOutDeviceCount() override { return 1; }
    WaveResult QueryWaveIn(const WaveFormat&) override { return WaveResult::kOk; }
    WaveResult QueryWaveOut(const WaveFormat&) override { return WaveResult::kOk; }
    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat&, WaveDoneCallback, WaveResult* r,
                                             std::string*) override {
        *r = WaveResult::kNoDevice;
        return nullptr;
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat&, WaveDoneCallback, WaveResult* r,
                                               std::string*) override {
        *r = WaveResult::kNoDevice;
        return nullptr;
    }
    std::string Name() const override { return m_name; }

  private:
    std::string m_name;
};

}  // namespace kestrona::test
