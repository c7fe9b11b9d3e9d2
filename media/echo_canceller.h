// Acoustic echo control on the capture path: what the loudspeaker played
// comes back through the microphone a little later and quieter, and the far
// end would hear its own voice a block later. The canceller learns that
// path (an adaptive filter) and subtracts its estimate from the microphone
// before the block is coded. The canceller is WebRTC's audio processing
// with its extended filter: on a laptop-like path it removes about 30 dB of
// echo within the first second, where the speexdsp canceller had reached
// 16 dB after two (bench/media_bench.cpp measures both).
//
// FarEndHistory holds what was handed to the loudspeaker at the positions
// (engine clock, in samples) where it plays; the capture side reads the
// stretch that played while a microphone block was being recorded. Both are
// allocated once per call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrona {

class FarEndHistory {
  public:
    explicit FarEndHistory(int capacity);
    // Samples that play from position at on. A gap since the last write
    // plays as silence.
    void Write(int64_t at, const int16_t* samples, int n);
    // What played from position at on; silence where nothing did or where
    // the history no longer reaches.
    void Read(int64_t at, int16_t* out, int n) const;

    // The sound system's own delays below the engine, in samples: the
    // loudspeaker plays a sample `output` after the position it was written
    // at, and the microphone heard a captured sample `input` before the
    // engine got it. Any thread; they may change during a call.
    void SetOutputLatency(int samples) { m_outputLatency.store(samples); }
    void SetInputLatency(int samples) { m_inputLatency.store(samples); }
    // What the room heard while the microphone recorded the samples that
    // reached the engine at positions at to at + n - 1.
    void ReadHeard(int64_t at, int16_t* out, int n) const {
        Read(at - m_inputLatency.load() - m_outputLatency.load(), out, n);
    }

  private:
    mutable std::mutex m_mutex;  // the receive thread writes, the send thread reads
    std::vector<int16_t> m_ring;
    int64_t m_high = 0;  // one past the last position written
    std::atomic<int> m_outputLatency{0};
    std::atomic<int> m_inputLatency{0};
};

class EchoCanceller {
  public:
    EchoCanceller(int sampleRate);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // Removes the echo of far (what played while near was recorded) from
    // near, in place; any n. The processing works on 10 ms pieces, so when
    // blocks are not whole pieces the output lags by one piece.
    void Process(int16_t* near, const int16_t* far, int n);

  private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace kestrona
