// The receiving side's playout buffer for calls in short frames: coded
// frames come in from the peer whenever the network delivers them, the
// loudspeaker takes one per frame period, and the buffer decides what it
// plays each time.
//
// The delay it keeps adapts. It starts small; a frame that is not there when
// its turn comes is concealed and the delay grows by that frame (the turn is
// played again later, so nothing of the far talker is lost while there is
// room); after a quiet spell the delay is taken back a frame at a time by
// skipping one. The largest delay is the caller's bound (the delay-buffer
// setting): beyond it a missing frame's turn passes, and the frame is dropped
// when it comes. A frame missing between two that are here is recovered from
// its successor's redundancy where the codec carries it.
//
// Frames are numbered by the sender's order (a stream numbers them by
// arrival). Everything is held in storage allocated once; no call allocates.
// One thread at a time: the engine's receive and playout sides share it
// under the engine's own lock.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrona {

class CPlayoutBuffer {
  public:
    struct Config {
        int frameMs = 20;
        int startMs = 40;  // the delay a call starts with
        int maxMs = 250;   // the largest delay (at least startMs)
        int maxFrameBytes = 1275;
        int quietMs = 2000;       // no late frame for this long: take delay back
        int shrinkEveryMs = 200;  // then one frame per this period
    };
    explicit CPlayoutBuffer(const Config& config);

    enum class Arrival { kQueued, kTooLate, kOverflow, kBad };
    // A coded frame of the given sequence number arrived. kOverflow: it is
    // queued, but the oldest frames went to keep the delay within its bound.
    Arrival Push(std::uint32_t sequence, const std::uint8_t* data, int length);

    enum class Action {
        kSilence,  // the call's first frames are not in yet
        kPlay,     // decode data
        kRecover,  // this turn's frame is missing: decode its redundancy in data (the next frame)
        kConceal,  // nothing to decode: conceal one frame
    };
    struct Turn {
        Action action = Action::kSilence;
        const std::uint8_t* data = nullptr;
        int length = 0;
    };
    // The loudspeaker's turn, once per frame period. data stays valid until
    // the next Push or Next.
    Turn Next();

    struct Stats {
        std::int64_t played = 0;
        std::int64_t concealed = 0;
        std::int64_t recovered = 0;
        std::int64_t late = 0;     // frames dropped on arrival: their turn had passed
        std::int64_t dropped = 0;  // frames dropped to keep within the largest delay
        std::int64_t skipped = 0;  // frames skipped to take delay back
    };
    const Stats& stats() const { return m_stats; }
    // The delay aimed at now, and the frames waiting.
    int TargetMs() const { return m_target * m_config.frameMs; }
    int QueuedFrames() const;

  private:
    struct Slot {
        bool full = false;
        std::uint32_t sequence = 0;
        int length = 0;
        std::vector<std::uint8_t> bytes;
    };
    Slot& SlotOf(std::uint32_t sequence) { return m_slots[sequence % m_slots.size()]; }
    bool Has(std::uint32_t sequence) const;
    void Release(std::uint32_t sequence);
    // Frames waiting from the next turn on, up to the newest one here.
    int Span() const;

    const Config m_config;
    const int m_maxFrames;
    std::vector<Slot> m_slots;
    bool m_started = false;
    bool m_any = false;
    std::uint32_t m_next = 0;    // the sequence number of the next turn
    std::uint32_t m_newest = 0;  // the newest sequence number here
    int m_target;                // frames
    int m_turnsQuiet = 0;        // turns since a frame was late
    int m_turnsSinceShrink = 0;
    Stats m_stats;
};

}  // namespace kestrona
