#include "media/echo_canceller.h"

#include <speex/speex_echo.h>

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

EchoCanceller::EchoCanceller(int sampleRate, int tailMs)
    : m_state(speex_echo_state_init(kFrame, std::max(kFrame, sampleRate * tailMs / 1000))),
      m_out(kFrame) {
    int rate = sampleRate;
    speex_echo_ctl(m_state, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
}

EchoCanceller::~EchoCanceller() {
    speex_echo_state_destroy(m_state);
}

void EchoCanceller::Process(int16_t* near, const int16_t* far, int n) {
    for (int k = 0; k + kFrame <= n; k += kFrame) {
        speex_echo_cancellation(m_state, near + k, far + k, m_out.data());
        std::memcpy(near + k, m_out.data(), sizeof(int16_t) * kFrame);
    }
}

}  // namespace kestrona
