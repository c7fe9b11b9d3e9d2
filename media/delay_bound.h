// How much of each decoded block the loudspeaker gets, so that the audio
// waiting to be played can never grow past one block and a margin.
//
// Positions are sample indices on the engine's clock (samples since the call
// was set up). The bound keeps its own estimate of where the queued audio
// ends: a device plays in real time from the moment a buffer reaches it, so
// after a stall (the process paused, the network late) the estimate has
// already run out and the backlog that then arrives at once is trimmed.
// What the device itself still holds (buffers not yet handed back) counts
// too, for a device that plays slower than the clock.
//
// Beyond the hard limit, a slow drain takes back delay that is no longer
// needed: when every block of the last second found more than a small
// cushion still queued, the surplus is dropped from the next block, so the
// delay returns to its idle value within a few seconds of a stall.
#pragma once

#include <cstdint>

namespace kestrona {

class PlayoutDelayBound {
  public:
    PlayoutDelayBound(int sampleRate, int blockSamples);

    struct Admission {
        int drop = 0;         // leading samples of the block to discard
        int64_t playsAt = 0;  // position at which the first kept sample plays
    };
    // A block of n samples is ready at position now; the device still holds
    // deviceBuffers buffers. The kept tail is counted as queued from then on.
    Admission Admit(int64_t now, int n, int deviceBuffers);

    // Samples queued but not yet played at position now (the estimate).
    int64_t Queued(int64_t now) const;
    int Limit() const { return m_limit; }
    int64_t DroppedSamples() const { return m_dropped; }

  private:
    const int m_block;
    const int m_limit;    // block + margin
    const int m_cushion;  // what the drain leaves queued
    const int m_window;   // length of the drain's observation
    bool m_started = false;
    int64_t m_end = 0;  // where the queued audio ends
    int64_t m_windowStart = 0;
    int64_t m_windowMin = 0;
    int64_t m_dropped = 0;
};

}  // namespace kestrona
