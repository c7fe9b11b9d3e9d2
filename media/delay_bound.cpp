#include "media/delay_bound.h"

#include <algorithm>

namespace kestrona {

namespace {
// Half a block, but no less than 100 ms: room for network jitter.
int Margin(int rate, int block) {
    return std::max(block / 2, rate / 10);
}
}  // namespace

PlayoutDelayBound::PlayoutDelayBound(int sampleRate, int blockSamples)
    : m_block(blockSamples),
      m_limit(blockSamples + Margin(sampleRate, blockSamples)),
      m_cushion(sampleRate * 3 / 100),
      m_window(std::max(sampleRate, 2 * blockSamples)) {}

int64_t PlayoutDelayBound::Queued(int64_t now) const {
    return m_started ? std::max<int64_t>(0, m_end - now) : 0;
}

PlayoutDelayBound::Admission PlayoutDelayBound::Admit(int64_t now, int n, int deviceBuffers) {
    int64_t queued = Queued(now);
    // A buffer still held by the device is at least partly unplayed; all but
    // the one playing certainly are.
    if (deviceBuffers > 1)
        queued = std::max<int64_t>(queued, int64_t(deviceBuffers - 1) * m_block);

    int64_t drop = std::max<int64_t>(0, queued + n - m_limit);

    if (!m_started || now - m_windowStart >= m_window) {
        // The least that was queued at any arrival of the last window is
        // delay no arrival needed.
        if (m_started && m_windowMin > m_cushion)
            drop = std::max<int64_t>(drop, m_windowMin - m_cushion);
        m_windowStart = now;
        m_windowMin = queued;
    } else {
        m_windowMin = std::min(m_windowMin, queued);
    }

    drop = std::min<int64_t>(drop, n);
    // What was dropped here is no longer queued at the next arrival.
    if (drop > 0)
        m_windowMin = std::max<int64_t>(0, m_windowMin - drop);
    Admission a;
    a.drop = int(drop);
    a.playsAt = std::max(m_started ? m_end : now, now);
    if (drop < n)
        m_end = a.playsAt + (n - drop);
    m_started = true;
    m_dropped += drop;
    return a;
}

}  // namespace kestrona
