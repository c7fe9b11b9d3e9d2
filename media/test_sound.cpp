#include "media/test_sound.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "platform/background_work.h"

namespace kestrona {

struct TestSound::Tone {
    std::shared_ptr<const std::vector<int16_t>> samples;
    WaveHeader header;
    std::unique_ptr<WaveOutDevice> device;
};

// Hands out turns, so the steps of successive tones run in the order they
// were asked for even when the background runs them on different threads.
class TestSound::Sequence {
  public:
    uint64_t Take() {
        std::lock_guard lock(m_mutex);
        return m_next++;
    }
    void Run(uint64_t turn, const std::function<void()>& step) {
        std::unique_lock lock(m_mutex);
        m_turn.wait(lock, [&] { return m_serving == turn; });
        lock.unlock();
        step();
        lock.lock();
        ++m_serving;
        m_turn.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_turn;
    uint64_t m_next = 0;
    uint64_t m_serving = 0;
};

TestSound::TestSound() : m_sequence(std::make_shared<Sequence>()) {
    // Two rising notes at a moderate level, faded at the ends so the
    // device does not click.
    std::vector<int16_t> tone(kRate * 3 / 4);
    const double pi = std::acos(-1.0);
    const size_t n = tone.size(), fade = kRate / 50;
    for (size_t i = 0; i < n; ++i) {
        const double f = i < n / 2 ? 523.25 : 659.25;
        const double edge = std::min({1.0, double(i) / fade, double(n - 1 - i) / fade});
        tone[i] = int16_t(8000.0 * edge * std::sin(2.0 * pi * f * double(i) / kRate));
    }
    m_samples = std::make_shared<const std::vector<int16_t>>(std::move(tone));
}

TestSound::~TestSound() {
    Stop();
}

void TestSound::Play(std::shared_ptr<AudioBackend> backend, std::string id, Done done) {
    Stop();
    auto tone = std::make_shared<Tone>();
    tone->samples = m_samples;
    m_current = tone;
    const uint64_t turn = m_sequence->Take();
    BackgroundWork::Process().Run([sequence = m_sequence, turn, tone, backend = std::move(backend),
                                   id = std::move(id), done = std::move(done)] {
        sequence->Run(turn, [&] {
            WaveResult result = WaveResult::kOk;
            std::string why;
            tone->device =
                backend ? backend->OpenWaveOutById(
                              id, WaveFormat::Pcm16Mono(kRate), [](WaveHeader&) {}, &result, &why)
                        : nullptr;
            bool ok = tone->device != nullptr;
            if (ok) {
                tone->header.data =
                    reinterpret_cast<uint8_t*>(const_cast<int16_t*>(tone->samples->data()));
                tone->header.bufferLength = uint32_t(tone->samples->size() * 2);
                tone->device->Prepare(tone->header);
                ok = tone->device->Write(tone->header) == WaveResult::kOk;
                if (!ok)
                    why = "the device does not take the tone";
            }
            if (done)
                done(ok, why);
        });
    });
}

void TestSound::Stop() {
    if (!m_current)
        return;
    const uint64_t turn = m_sequence->Take();
    BackgroundWork::Process().Run([sequence = m_sequence, turn, tone = std::move(m_current)] {
        sequence->Run(turn, [&] {
            if (!tone->device)
                return;
            // Reset hands the buffer back before it returns.
            tone->device->Reset();
            tone->device->Close();
            tone->device.reset();
        });
    });
    m_current.reset();
}

}  // namespace kestrona
