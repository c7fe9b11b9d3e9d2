// A call's quality as its listener meets it, from what the playout buffer
// saw in the last few seconds: the share of turns with nothing to play
// (concealed, or a frame that came too late and was dropped) and the delay
// it had to keep. The bounds follow what telephony takes as the limits of
// comfortable talk: a one-way delay under 150 ms and a loss of a percent or
// so; a delay past 300 ms or a loss past 5 % is poor.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "media/playout_buffer.h"

namespace kestrona {

enum class CallQuality { kUnknown, kGood, kFair, kPoor };

class CCallQualityMeter {
  public:
    // Once a second, while the call talks: the buffer's counts so far and
    // the delay it aims at now.
    void Sample(const CPlayoutBuffer::Stats& stats, int delayMs);

    struct Figures {
        std::int64_t turns = 0;    // in the window
        std::int64_t missing = 0;  // of those, concealed or dropped late
        int delayMs = 0;           // the largest delay in the window
        // A frame dropped late mostly left a concealed turn behind as well:
        // the share is of turns, never above all of them.
        double MissingShare() const {
            return turns > 0 ? std::min(1.0, double(missing) / double(turns)) : 0;
        }
    };
    Figures Window() const;
    CallQuality Rating() const;

  private:
    struct Reading {
        std::int64_t turns = 0;
        std::int64_t missing = 0;
        int delayMs = 0;
    };
    static constexpr int kWindow = 5;  // seconds
    std::array<Reading, kWindow + 1> m_readings{};
    int m_count = 0;
};

}  // namespace kestrona
