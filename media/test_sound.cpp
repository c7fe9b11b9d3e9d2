#include "media/test_sound.h"

#include <algorithm>
#include <cmath>

namespace kestrona {

TestSound::TestSound() : m_tone(kRate * 3 / 4) {
    // Two rising notes at a moderate level, faded at the ends so the
    // device does not click.
    const double pi = std::acos(-1.0);
    const size_t n = m_tone.size(), fade = kRate / 50;
    for (size_t i = 0; i < n; ++i) {
        const double f = i < n / 2 ? 523.25 : 659.25;
        const double edge = std::min({1.0, double(i) / fade, double(n - 1 - i) / fade});
        m_tone[i] = int16_t(8000.0 * edge * std::sin(2.0 * pi * f * double(i) / kRate));
    }
}

TestSound::~TestSound() {
    Stop();
}

bool TestSound::Play(AudioBackend& backend, const std::string& id, std::string* error) {
    Stop();
    WaveResult result = WaveResult::kOk;
    m_device = backend.OpenWaveOutById(
        id, WaveFormat::Pcm16Mono(kRate), [this](WaveHeader&) { m_done = true; }, &result, error);
    if (!m_device)
        return false;
    m_header = {};
    m_header.data = reinterpret_cast<uint8_t*>(m_tone.data());
    m_header.bufferLength = uint32_t(m_tone.size() * 2);
    m_done = false;
    m_device->Prepare(m_header);
    if (m_device->Write(m_header) != WaveResult::kOk) {
        m_done = true;
        Stop();
        return false;
    }
    return true;
}

void TestSound::Stop() {
    if (!m_device)
        return;
    // Reset hands the buffer back before it returns.
    m_device->Reset();
    m_device->Close();
    m_device.reset();
    m_done = true;
}

}  // namespace kestrona
