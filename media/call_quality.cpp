#include "media/call_quality.h"

#include <algorithm>

namespace kestrona {

void CCallQualityMeter::Sample(const CPlayoutBuffer::Stats& stats, int delayMs) {
    Reading r;
    r.turns = stats.played + stats.concealed + stats.recovered;
    r.missing = stats.concealed + stats.late;
    r.delayMs = delayMs;
    m_readings[static_cast<std::size_t>(m_count % int(m_readings.size()))] = r;
    ++m_count;
}

CCallQualityMeter::Figures CCallQualityMeter::Window() const {
    Figures f;
    if (m_count < 2) {
        return f;
    }
    const int size = int(m_readings.size());
    const int span = std::min(m_count, size);
    const Reading& newest = m_readings[static_cast<std::size_t>((m_count - 1) % size)];
    const Reading& oldest = m_readings[static_cast<std::size_t>((m_count - span) % size)];
    f.turns = newest.turns - oldest.turns;
    f.missing = newest.missing - oldest.missing;
    for (int i = 0; i < span; ++i) {
        f.delayMs = std::max(
            f.delayMs, m_readings[static_cast<std::size_t>((m_count - 1 - i) % size)].delayMs);
    }
    return f;
}

CallQuality CCallQualityMeter::Rating() const {
    const Figures f = Window();
    if (f.turns <= 0) {
        return CallQuality::kUnknown;
    }
    const double missing = f.MissingShare();
    if (missing <= 0.01 && f.delayMs <= 150) {
        return CallQuality::kGood;
    }
    if (missing <= 0.05 && f.delayMs <= 300) {
        return CallQuality::kFair;
    }
    return CallQuality::kPoor;
}

}  // namespace kestrona
