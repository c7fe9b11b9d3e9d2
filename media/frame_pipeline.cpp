// A call in frames: the receive thread cuts frame records out of the stream
// and queues them in the playout buffer as they come; the playout thread
// takes one turn of the buffer per frame period on its own clock, decodes
// or conceals it, and keeps the loudspeaker a small, steady lead ahead.
// The capture and send side is the blocks' (media_pipeline.cpp) with frames
// of the codec as blocks.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "media/audio_engine.h"
#include "media/frame_records.h"
#include "media/sample_level.h"
#include "media/stream_io.h"

using kestrona::CPlayoutBuffer;
using kestrona::WaveHeader;
using kestrona::WaveResult;
using Clock = std::chrono::steady_clock;

namespace {

// What the loudspeaker holds ahead of what plays: enough that a playout
// thread woken a little late never lets it run dry, and no more.
constexpr int kLeadFrames = 2;
// A schedule that fell this far behind (the process was stopped) starts over
// rather than playing the missed turns at once.
constexpr auto kScheduleGiveUp = std::chrono::milliseconds(200);
// Turns between two readings of the call's quality.
constexpr int kQualityEveryMs = 1000;

enum QualityCount { kPlayed, kConcealed, kRecovered, kLate, kDropped };

}  // namespace

void CAudioEngine::SetFrameCodec(std::unique_ptr<kestrona::FrameCodec> codec) {
    if (!m_initialised)
        m_frameCodec = std::move(codec);
}

CAudioEngine::Quality CAudioEngine::QualityNow() const {
    Quality q;
    q.rating = static_cast<kestrona::CallQuality>(m_qualityRating.load(std::memory_order_relaxed));
    q.played = m_qualityCounts[kPlayed].load(std::memory_order_relaxed);
    q.concealed = m_qualityCounts[kConcealed].load(std::memory_order_relaxed);
    q.recovered = m_qualityCounts[kRecovered].load(std::memory_order_relaxed);
    q.late = m_qualityCounts[kLate].load(std::memory_order_relaxed);
    q.dropped = m_qualityCounts[kDropped].load(std::memory_order_relaxed);
    q.missingPermille = m_qualityMissing.load(std::memory_order_relaxed);
    q.delayMs = m_qualityDelayMs.load(std::memory_order_relaxed);
    return q;
}

void CAudioEngine::FrameReceiveThread() {
    const int sock = AwaitStream(m_sockIn, m_acceptedIn);
    std::optional<kestrona::StreamOpener> opener;
    if (!OpenReceiveStream(sock, opener))
        return;
    const size_t maxFrame = m_frameCodec->MaxFrameBytes();
    const size_t overhead = opener ? kestrona::StreamSealer::kOverhead : 0;
    kestrona::FrameRecordReader reader(maxFrame + overhead);
    std::vector<uint8_t> chunk(4096), opened(maxFrame);
    // The stream is ordered: frames are numbered as they arrive.
    uint32_t sequence = 0;
    while (m_stopReceiving == 0) {
        const ssize_t got = ReceiveSome(sock, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ReportConnectionLost(m_stopReceiving);
            return;
        }
        std::span<const uint8_t> in(chunk.data(), size_t(got));
        while (!in.empty()) {
            const auto result = reader.Read(in);
            if (result == kestrona::FrameRecordReader::Result::kNeedMore)
                break;
            if (result == kestrona::FrameRecordReader::Result::kBadLength) {
                std::fprintf(stderr,
                             "kestrona: an audio frame's length is out of range; the stream "
                             "is broken\n");
                ReportConnectionLost(m_stopReceiving);
                return;
            }
            std::span<const uint8_t> frame = reader.Frame();
            if (opener) {
                if (frame.size() <= overhead ||
                    !opener->Open(frame.data(), frame.size(), opened.data())) {
                    std::fprintf(stderr,
                                 "kestrona: an audio frame failed its check; the stream is "
                                 "broken\n");
                    ReportConnectionLost(m_stopReceiving);
                    return;
                }
                frame = {opened.data(), frame.size() - overhead};
            }
            std::lock_guard lock(m_playoutMutex);
            m_playoutBuffer->Push(sequence++, frame.data(), int(frame.size()));
        }
    }
}

void CAudioEngine::FramePlayoutThread() {
    kestrona::WaveOutDevice* dev = OpenPlayout();
    if (!dev)
        return;
    const int frameSamples = m_frameCodec->FrameSamples();
    const auto period = std::chrono::microseconds(int64_t(frameSamples) * 1000000 /
                                                  int64_t(m_format.samplesPerSec));
    const int qualityTurns = std::max(1, int(kQualityEveryMs * 1000 / period.count()));
    std::span<int16_t> pcm;
    int turns = 0;
    auto due = Clock::now();
    for (int i = 0; m_stopReceiving == 0; i = (i + 1) % kRingSize) {
        // The device gives a buffer back once it has taken its sound; one
        // still held means the device fell behind, and this turn waits for it.
        m_playoutFree[i]->Wait();
        if (m_stopReceiving != 0)
            break;
        const auto now = Clock::now();
        if (now - due > kScheduleGiveUp)
            due = now;
        // The first turns fill the lead; after that one turn per period.
        if (turns >= kLeadFrames) {
            std::this_thread::sleep_until(due);
            if (m_stopReceiving != 0)
                break;
        }
        due += period;
        ++turns;
        m_playoutFree[i]->Reset();
        pcm = {reinterpret_cast<int16_t*>(m_playout[i].buffer.data()), size_t(frameSamples)};

        CPlayoutBuffer::Turn turn;
        {
            std::lock_guard lock(m_playoutMutex);
            turn = m_playoutBuffer->Next();
            if (turn.data != nullptr) {
                const size_t n = std::min(size_t(turn.length), m_turnFrame.size());
                std::memcpy(m_turnFrame.data(), turn.data, n);
                turn.data = m_turnFrame.data();
                turn.length = int(n);
            }
            if (turns % qualityTurns == 0) {
                const CPlayoutBuffer::Stats& s = m_playoutBuffer->stats();
                m_qualityMeter.Sample(s, m_playoutBuffer->TargetMs());
                const auto window = m_qualityMeter.Window();
                m_qualityRating.store(int(m_qualityMeter.Rating()), std::memory_order_relaxed);
                m_qualityMissing.store(int(window.MissingShare() * 1000.0 + 0.5),
                                       std::memory_order_relaxed);
                m_qualityDelayMs.store(m_playoutBuffer->TargetMs(), std::memory_order_relaxed);
                m_qualityCounts[kPlayed].store(s.played, std::memory_order_relaxed);
                m_qualityCounts[kConcealed].store(s.concealed + s.recovered,
                                                  std::memory_order_relaxed);
                m_qualityCounts[kRecovered].store(s.recovered, std::memory_order_relaxed);
                m_qualityCounts[kLate].store(s.late, std::memory_order_relaxed);
                m_qualityCounts[kDropped].store(s.dropped, std::memory_order_relaxed);
            }
        }
        const std::span<const uint8_t> frame(turn.data, size_t(turn.length));
        switch (turn.action) {
            case CPlayoutBuffer::Action::kSilence:
                std::fill(pcm.begin(), pcm.end(), int16_t(0));
                break;
            case CPlayoutBuffer::Action::kPlay:
                m_frameCodec->Decode(frame, pcm);
                break;
            case CPlayoutBuffer::Action::kRecover:
                m_frameCodec->DecodeFromNext(frame, pcm);
                break;
            case CPlayoutBuffer::Action::kConceal:
                m_frameCodec->Conceal(pcm);
                break;
        }
        // The recording holds what the far side sent as it was heard here,
        // concealment included, from the first frame on.
        if (turn.action != CPlayoutBuffer::Action::kSilence &&
            m_recording.load(std::memory_order_acquire))
            m_recorder.Append("in", reinterpret_cast<const uint8_t*>(pcm.data()),
                              int(pcm.size_bytes()));
        kestrona::ApplyLevel(pcm.data(), frameSamples,
                             m_speakerLevel.load(std::memory_order_relaxed));
        if (m_farEnd)
            m_farEnd->Write(ClockNow(), pcm.data(), frameSamples);
        m_playout[i].header.bufferLength = uint32_t(pcm.size_bytes());
        QueuePlayout(dev, i);
    }
}
