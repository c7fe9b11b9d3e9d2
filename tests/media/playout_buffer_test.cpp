// The playout buffer against arrival patterns a call meets over a stream:
// steady frames, a stall followed by a burst (a retransmission), a stall
// longer than the largest delay, a gap, and a peer sending nonsense.
#include "media/playout_buffer.h"
#include "media/call_quality.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace kestrona {
namespace {

using Action = CPlayoutBuffer::Action;

// Each frame carries its own sequence number in its bytes, so a turn shows
// which frame it played.
struct Rig {
    explicit Rig(CPlayoutBuffer::Config c = {}) : buffer(c) {}

    void Send(std::uint32_t sequence) {
        std::uint8_t bytes[4] = {std::uint8_t(sequence), std::uint8_t(sequence >> 8),
                                 std::uint8_t(sequence >> 16), std::uint8_t(sequence >> 24)};
        arrivals.push_back(buffer.Push(sequence, bytes, 4));
    }
    // One turn; returns the frame played (or -1).
    std::int64_t Turn() {
        CPlayoutBuffer::Turn t = buffer.Next();
        actions.push_back(t.action);
        if (t.action != Action::kPlay || t.length != 4) {
            return -1;
        }
        const std::uint32_t s = std::uint32_t(t.data[0]) | std::uint32_t(t.data[1]) << 8 |
                                std::uint32_t(t.data[2]) << 16 | std::uint32_t(t.data[3]) << 24;
        played.push_back(s);
        return s;
    }
    int Count(Action a) const {
        int n = 0;
        for (Action x : actions) {
            n += x == a ? 1 : 0;
        }
        return n;
    }

    CPlayoutBuffer buffer;
    std::vector<CPlayoutBuffer::Arrival> arrivals;
    std::vector<Action> actions;
    std::vector<std::uint32_t> played;
};

TEST(PlayoutBuffer, SteadyFramesPlayInOrderAtTheStartingDelay) {
    Rig rig;  // 20 ms frames, 40 ms to start
    for (std::uint32_t t = 0; t < 500; ++t) {
        rig.Send(t);
        rig.Turn();
        EXPECT_LE(rig.buffer.QueuedFrames(), 2);
    }
    EXPECT_EQ(rig.Count(Action::kSilence), 1);  // the first turn waits for the second frame
    EXPECT_EQ(rig.Count(Action::kConceal), 0);
    ASSERT_EQ(rig.played.size(), 499u);
    for (std::size_t i = 0; i < rig.played.size(); ++i) {
        ASSERT_EQ(rig.played[i], i);
    }
    EXPECT_EQ(rig.buffer.TargetMs(), 40);
}

TEST(PlayoutBuffer, AStallThenABurstLosesNothingAndTheDelayComesBackWithinSeconds) {
    Rig rig;  // largest delay 250 ms
    std::uint32_t sent = 0;
    auto steady = [&](int turns) {
        for (int i = 0; i < turns; ++i) {
            rig.Send(sent++);
            rig.Turn();
        }
    };
    steady(100);
    // 200 ms without a frame (a retransmission time-out), then all at once.
    for (int i = 0; i < 10; ++i) {
        rig.Turn();
    }
    for (int i = 0; i < 10; ++i) {
        rig.Send(sent++);
    }
    // The frame in hand covered the stall's first turn.
    EXPECT_EQ(rig.Count(Action::kConceal), 9);
    EXPECT_EQ(rig.buffer.TargetMs(), 220);
    steady(1);
    const std::size_t afterBurst = rig.played.size();
    // Everything of the far talker still plays, in order.
    for (std::size_t i = 0; i < rig.played.size(); ++i) {
        ASSERT_EQ(rig.played[i], i);
    }
    EXPECT_EQ(rig.buffer.stats().late, 0);
    // Quiet from now on: back to the starting delay within five seconds.
    int turns = 0;
    while ((rig.buffer.QueuedFrames() > 2 || rig.buffer.TargetMs() > 40) && turns < 250) {
        steady(1);
        ++turns;
    }
    EXPECT_LT(turns, 250) << "still " << rig.buffer.QueuedFrames() << " frames queued";
    EXPECT_GT(rig.buffer.stats().skipped, 0);
    EXPECT_EQ(rig.Count(Action::kConceal), 9);
    // Played frames stay in order across the skips.
    for (std::size_t i = afterBurst; i < rig.played.size(); ++i) {
        ASSERT_GT(rig.played[i], rig.played[i - 1]);
    }
}

TEST(PlayoutBuffer, AStallBeyondTheLargestDelayDropsWhatComesTooLate) {
    CPlayoutBuffer::Config c;
    c.maxMs = 100;  // five frames
    Rig rig(c);
    std::uint32_t sent = 0;
    for (int i = 0; i < 50; ++i) {
        rig.Send(sent++);
        rig.Turn();
    }
    for (int i = 0; i < 25; ++i) {  // half a second of nothing
        rig.Turn();
    }
    for (int i = 0; i < 25; ++i) {
        rig.Send(sent++);
        EXPECT_LE(rig.buffer.QueuedFrames(), 5);
    }
    EXPECT_EQ(rig.buffer.TargetMs(), 100);
    EXPECT_GT(rig.buffer.stats().late + rig.buffer.stats().dropped, 0);
    // Afterwards steady frames play at once, never beyond the bound.
    for (int i = 0; i < 50; ++i) {
        rig.Send(sent++);
        EXPECT_GE(rig.Turn(), 0);
        EXPECT_LE(rig.buffer.QueuedFrames(), 5);
    }
}

// A sender silent for longer than the largest delay (its sound server went
// away) is heard again from its first frame back, at once and for good.
TEST(PlayoutBuffer, ASenderSilentBeyondTheLargestDelayIsHeardAgainAtOnce) {
    Rig rig;
    std::uint32_t sent = 0;
    for (int i = 0; i < 50; ++i) {
        rig.Send(sent++);
        rig.Turn();
    }
    for (int i = 0; i < 40; ++i) {
        rig.Turn();
    }
    const std::size_t before = rig.played.size();
    for (int i = 0; i < 100; ++i) {
        rig.Send(sent++);
        rig.Turn();
    }
    EXPECT_EQ(rig.buffer.stats().late, 0);
    EXPECT_EQ(rig.buffer.stats().dropped, 0);
    ASSERT_EQ(rig.played.size(), before + 100);
    EXPECT_EQ(rig.played[before], 50u);
    EXPECT_EQ(rig.played.back(), sent - 1);
}

TEST(PlayoutBuffer, AGapIsRecoveredFromTheNextFrameThenThatFramePlays) {
    Rig rig;
    for (std::uint32_t s : {0u, 1u, 2u}) {
        rig.Send(s);
    }
    EXPECT_EQ(rig.Turn(), 0);
    EXPECT_EQ(rig.Turn(), 1);
    rig.Send(4);  // 3 never comes
    EXPECT_EQ(rig.Turn(), 2);
    CPlayoutBuffer::Turn t = rig.buffer.Next();
    ASSERT_EQ(t.action, Action::kRecover);
    ASSERT_EQ(t.length, 4);
    EXPECT_EQ(t.data[0], 4);
    EXPECT_EQ(rig.Turn(), 4);
    rig.Send(3);  // too late now
    EXPECT_EQ(rig.arrivals.back(), CPlayoutBuffer::Arrival::kTooLate);
}

TEST(PlayoutBuffer, NonsenseFromThePeerIsRefusedAndNumbersWrap) {
    Rig rig;
    std::uint8_t big[1276] = {};
    EXPECT_EQ(rig.buffer.Push(0, big, 1276), CPlayoutBuffer::Arrival::kBad);
    EXPECT_EQ(rig.buffer.Push(0, big, 0), CPlayoutBuffer::Arrival::kBad);
    EXPECT_EQ(rig.buffer.Push(0, nullptr, 4), CPlayoutBuffer::Arrival::kBad);
    // Numbering from near the top of the range runs on through zero.
    std::uint32_t s = 0xFFFFFFF0u;
    for (int i = 0; i < 40; ++i) {
        rig.Send(s++);
        rig.Turn();
    }
    EXPECT_EQ(rig.Count(Action::kConceal), 0);
    EXPECT_EQ(rig.played.back(), 0xFFFFFFF0u + 38);
    // A frame numbered far ahead moves the window instead of growing it.
    rig.Send(s + 1'000'000);
    EXPECT_EQ(rig.arrivals.back(), CPlayoutBuffer::Arrival::kOverflow);
    EXPECT_LE(rig.buffer.QueuedFrames(), 12);
    // A repeated frame is not played twice.
    rig.Send(s + 1'000'000);
    EXPECT_EQ(rig.arrivals.back(), CPlayoutBuffer::Arrival::kTooLate);
}

}  // namespace
}  // namespace kestrona

namespace kestrona {
namespace {

// The rating follows the last five seconds: a stall marks the call down, and
// it comes back once the stall is out of the window.
TEST(CallQualityMeter, RatesTheLastSecondsOfTheBuffer) {
    CPlayoutBuffer buffer({});
    CCallQualityMeter meter;
    EXPECT_EQ(meter.Rating(), CallQuality::kUnknown);
    std::uint32_t sent = 0;
    std::uint8_t byte = 0;
    auto second = [&](bool stalled) {
        for (int i = 0; i < 50; ++i) {
            // A stalled second: nothing for 400 ms, then all at once.
            if (!stalled || i >= 20) {
                for (std::uint32_t s = stalled && i == 20 ? sent - 20 : sent; s <= sent; ++s) {
                    buffer.Push(s, &byte, 1);
                }
            }
            ++sent;
            buffer.Next();
        }
        meter.Sample(buffer.stats(), buffer.TargetMs());
    };
    for (int s = 0; s < 6; ++s) {
        second(false);
    }
    EXPECT_EQ(meter.Rating(), CallQuality::kGood);
    EXPECT_EQ(meter.Window().turns, 250);
    second(true);
    second(true);
    EXPECT_EQ(meter.Rating(), CallQuality::kPoor);
    EXPECT_GT(meter.Window().missing, 0);
    EXPECT_LE(meter.Window().MissingShare(), 1.0);
    for (int s = 0; s < 12; ++s) {
        second(false);
    }
    EXPECT_EQ(meter.Rating(), CallQuality::kGood) << meter.Window().delayMs;
}

}  // namespace
}  // namespace kestrona
