#include "media/echo_canceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <cstring>

namespace kestrona {

FarEndHistory::FarEndHistory(int capacity) : m_ring(size_t(std::max(capacity, 1)), 0) {}

void FarEndHistory::Write(int64_t at, const int16_t* samples, int n) {
    const int64_t size = int64_t(m_ring.size());
    std::lock_guard lock(m_mutex);
    const int64_t high = std::max(m_high, at + int64_t(n));
    const int64_t low = high - size;  // the oldest position held afterwards
    // A gap since the last write played as silence.
    for (int64_t p = std::max(m_high, low); p < at; ++p) m_ring[size_t(p % size)] = 0;
    for (int64_t p = std::max(at, std::max<int64_t>(low, 0)); p < at + n; ++p)
        m_ring[size_t(p % size)] = samples[p - at];
    m_high = high;
}

void FarEndHistory::Read(int64_t at, int16_t* out, int n) const {
    const int64_t size = int64_t(m_ring.size());
    std::lock_guard lock(m_mutex);
    for (int k = 0; k < n; ++k) {
        const int64_t p = at + k;
        out[k] = p >= 0 && p < m_high && p >= m_high - size ? m_ring[size_t(p % size)] : 0;
    }
}

class EchoCanceller::Impl {
  public:
    explicit Impl(int rate)
        // The processing takes 10 ms pieces of rate / 100 samples; at
        // 22050 Hz it is told 22000, which changes nothing for a filter
        // that only has to match the two streams to each other.
        : m_piece(std::max(rate / 100, 1)),
          m_config(rate / 100 * 100, 1),
          m_in(size_t(m_piece)),
          m_far(size_t(m_piece)),
          m_out(size_t(m_piece), 0.0f) {
        webrtc::Config config;
        config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
        m_apm.reset(webrtc::AudioProcessing::Create(config));
        m_apm->echo_cancellation()->Enable(true);
        m_apm->echo_cancellation()->set_suppression_level(
            webrtc::EchoCancellation::kLowSuppression);
    }

    void Process(int16_t* near, const int16_t* far, int n) {
        if (n % m_piece == 0 && m_pending == 0) {
            for (int k = 0; k < n; k += m_piece) {
                Load(near + k, far + k, m_piece);
                Run();
                Store(near + k, m_piece);
            }
            return;
        }
        // Streaming with a lag of one piece: m_out holds m_piece samples
        // processed earlier (silence at first) ahead of the new ones.
        for (int k = 0; k < n; ++k) {
            m_in[size_t(m_pending)] = float(near[k]) / 32768.0f;
            m_far[size_t(m_pending)] = float(far[k]) / 32768.0f;
            near[k] = ToPcm(m_out[size_t(m_pending)]);
            if (++m_pending == m_piece) {
                Run();
                std::copy(m_in.begin(), m_in.end(), m_out.begin());
                m_pending = 0;
            }
        }
    }

  private:
    static int16_t ToPcm(float v) { return int16_t(std::clamp(v * 32768.0f, -32768.0f, 32767.0f)); }
    void Load(const int16_t* near, const int16_t* far, int n) {
        for (int i = 0; i < n; ++i) {
            m_in[size_t(i)] = float(near[i]) / 32768.0f;
            m_far[size_t(i)] = float(far[i]) / 32768.0f;
        }
    }
    void Store(int16_t* near, int n) {
        for (int i = 0; i < n; ++i) near[i] = ToPcm(m_in[size_t(i)]);
    }
    // Cancels in place in m_in, with m_far as what played.
    void Run() {
        float* far = m_far.data();
        float* in = m_in.data();
        m_apm->ProcessReverseStream(&far, m_config, m_config, &far);
        // The two streams are already lined up in time; what is left is the
        // acoustic path, which the extended filter (128 ms) covers. Letting
        // the processing estimate the delay itself made it subtract echo
        // that was not there.
        m_apm->set_stream_delay_ms(0);
        m_apm->ProcessStream(&in, m_config, m_config, &in);
    }

    const int m_piece;
    const webrtc::StreamConfig m_config;
    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    std::vector<float> m_in, m_far, m_out;
    int m_pending = 0;
};

EchoCanceller::EchoCanceller(int sampleRate) : m_impl(std::make_unique<Impl>(sampleRate)) {}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::Process(int16_t* near, const int16_t* far, int n) {
    m_impl->Process(near, far, n);
}

}  // namespace kestrona
