#include "media/playout_buffer.h"

#include <algorithm>
#include <cstring>

namespace kestrona {
namespace {

// Sequence numbers wrap: order is the sign of the difference.
std::int32_t Ahead(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}

}  // namespace

CPlayoutBuffer::CPlayoutBuffer(const Config& config)
    : m_config(config),
      m_maxFrames(
          std::max(1, std::max(config.maxMs, config.startMs) / std::max(1, config.frameMs))),
      m_target(std::clamp(config.startMs / std::max(1, config.frameMs), 1, m_maxFrames)) {
    // Room for the largest delay and the frame being played.
    m_slots.resize(static_cast<std::size_t>(m_maxFrames) + 2);
    for (Slot& s : m_slots) {
        s.bytes.resize(static_cast<std::size_t>(std::max(1, config.maxFrameBytes)));
    }
}

bool CPlayoutBuffer::Has(std::uint32_t sequence) const {
    const Slot& s = m_slots[sequence % m_slots.size()];
    return s.full && s.sequence == sequence;
}

void CPlayoutBuffer::Release(std::uint32_t sequence) {
    Slot& s = SlotOf(sequence);
    if (s.full && s.sequence == sequence) {
        s.full = false;
    }
}

int CPlayoutBuffer::Span() const {
    if (!m_any) {
        return 0;
    }
    return std::max(0, Ahead(m_newest, m_next) + 1);
}

int CPlayoutBuffer::QueuedFrames() const {
    int n = 0;
    for (int i = 0; i < Span(); ++i) {
        n += Has(m_next + static_cast<std::uint32_t>(i)) ? 1 : 0;
    }
    return n;
}

CPlayoutBuffer::Arrival CPlayoutBuffer::Push(std::uint32_t sequence, const std::uint8_t* data,
                                             int length) {
    if (!data || length <= 0 || length > m_config.maxFrameBytes) {
        return Arrival::kBad;
    }
    if (!m_any) {
        m_any = true;
        m_next = sequence;
        m_newest = sequence;
    } else if (Ahead(sequence, m_next) < 0 || Has(sequence)) {
        // Its turn has passed (or it came twice).
        ++m_stats.late;
        return Arrival::kTooLate;
    }
    Arrival result = Arrival::kQueued;
    // Within the largest delay: the oldest frames make way, played or not.
    while (Ahead(sequence, m_next) >= m_maxFrames) {
        if (Has(m_next)) {
            ++m_stats.dropped;
        }
        Release(m_next);
        ++m_next;
        result = Arrival::kOverflow;
    }
    if (Ahead(m_newest, m_next) < 0) {
        m_newest = m_next;
    }
    Slot& s = SlotOf(sequence);
    s.full = true;
    s.sequence = sequence;
    s.length = length;
    std::memcpy(s.bytes.data(), data, static_cast<std::size_t>(length));
    if (Ahead(sequence, m_newest) > 0) {
        m_newest = sequence;
    }
    return result;
}

CPlayoutBuffer::Turn CPlayoutBuffer::Next() {
    Turn turn;
    if (!m_started) {
        // The first frames fill the starting delay before anything plays.
        if (!m_any || QueuedFrames() < m_target) {
            return turn;
        }
        m_started = true;
    }
    ++m_turnsQuiet;
    ++m_turnsSinceShrink;
    const int frame = std::max(1, m_config.frameMs);
    const int start = std::clamp(m_config.startMs / frame, 1, m_maxFrames);
    if (m_turnsQuiet * frame >= m_config.quietMs &&
        m_turnsSinceShrink * frame >= m_config.shrinkEveryMs) {
        m_turnsSinceShrink = 0;
        m_target = std::max(start, m_target - 1);
        // More waiting than the aim: one frame goes, from the front.
        if (QueuedFrames() > m_target && Has(m_next) && Has(m_next + 1)) {
            Release(m_next);
            ++m_next;
            ++m_stats.skipped;
        }
    }
    if (Has(m_next)) {
        Slot& s = SlotOf(m_next);
        s.full = false;  // the bytes stay until the slot is written again
        ++m_next;
        ++m_stats.played;
        turn = {Action::kPlay, s.bytes.data(), s.length};
        return turn;
    }
    if (Has(m_next + 1)) {
        // A gap with its successor here: that frame's redundancy covers the
        // turn, and it plays itself next time.
        const Slot& s = SlotOf(m_next + 1);
        ++m_next;
        ++m_stats.recovered;
        turn = {Action::kRecover, s.bytes.data(), s.length};
        return turn;
    }
    // Late. While there is room the turn waits for it (the delay grows by a
    // frame); at the bound the turn passes and the frame will be dropped.
    // With nothing newer here either, the sender is silent rather than this
    // frame lost (a stream loses none): its number waits, so that the talker
    // is heard again from the first frame that comes, not never (every
    // later frame would be "late" by the silence's length). Push keeps what
    // comes then within the bound.
    ++m_stats.concealed;
    m_turnsQuiet = 0;
    if (m_target < m_maxFrames) {
        ++m_target;
    } else if (Span() > 0) {
        ++m_next;
    }
    turn.action = Action::kConceal;
    return turn;
}

}  // namespace kestrona
