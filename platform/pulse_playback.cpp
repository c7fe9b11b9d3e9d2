// Playback through a PulseAudio server.
#include "platform/pulse_stream.h"
#include "platform/wave_queue.h"

namespace kestrona::pulse {
namespace {

// Server-side buffers. Playback keeps up to kPlaybackTargetMs queued in the
// server, room for a whole 250 ms block (of any rate) to go in one write,
// and is asked for more once kPlaybackRequestMs have played. The server
// gives the sink (target - 2 x request) / 2 of its own, 20 ms: small, but
// not so small that it wakes every few milliseconds. The server only holds
// what has arrived, so the target does not add delay.
constexpr int kPlaybackTargetMs = 400;
constexpr int kPlaybackRequestMs = 180;
constexpr int kPlaybackPrebufMs = 40;

class PulseWaveOut final : public WaveOutDevice, private WaveQueue, private PulseStream {
  public:
    PulseWaveOut(DeviceHome home, const WaveFormat& format, WaveDoneCallback done,
                 std::string choice)
        : WaveQueue(std::move(done), false),
          PulseStream(std::move(home), AudioDirection::kOutput, format, std::move(choice)) {
        Launch();
    }
    ~PulseWaveOut() override {
        Shutdown();
        std::lock_guard lock(m_link);
        DropStream();
    }

    WaveResult Write(WaveHeader& h) override { return Enqueue(h); }
    WaveResult Reset() override {
        const WaveResult r = ResetQueue();
        // What the server still holds goes too.
        std::lock_guard lock(m_link);
        if (m_stream && PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream))) {
            if (pa_operation* op = pa_stream_flush(m_stream, nullptr, nullptr))
                pa_operation_unref(op);
            m_link.Kick();
        }
        return r;
    }
    WaveResult Close() override { return CloseQueue(); }
    const WaveFormat& Format() const override { return m_format; }
    std::chrono::microseconds Latency() const override {
        return std::chrono::microseconds(m_latencyUs.load(std::memory_order_relaxed));
    }

  private:
    void Wake() override { WakeDevice(); }

    void Transfer(WaveHeader& h) override {
        const uint32_t total = h.bufferLength & ~1u;
        uint32_t done = 0;
        std::unique_lock lock(m_link);
        while (done < total && !Aborted()) {
            Maintain();
            FlushEvent(lock);
            if (!m_stream) {
                done += PaceStep(lock, total - done);
                continue;
            }
            const size_t room = pa_stream_writable_size(m_stream);
            if (room == size_t(-1)) {
                DropStream();
                continue;
            }
            if (room < 2) {
                // The server's request may be waiting unread: read it now.
                // (A call's blocks fit; this is for a backlog.)
                NeedServerFrom(PulseLink::kNow);
                WaitForStream(lock);
                continue;
            }
            const uint32_t n = uint32_t(std::min<size_t>(room, total - done)) & ~1u;
            if (pa_stream_write(m_stream, h.data + done, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
                DropStream();
                continue;
            }
            m_link.Kick();
            done += n;
        }
        // Nothing is needed from the server until the next buffer.
        if (m_stream)
            NeedServerFrom(PulseLink::kNever);
        RefreshTiming();
        if (!Aborted() && m_stream && !QueueHasMore())
            PlayOut(lock);
    }

    // The last queued buffer is given back once it has been heard, so a
    // sound that ends is played to its end before its device is closed. A
    // new buffer ends the wait at once. The end is reckoned from what the
    // server holds, without asking it (in a call the next block usually
    // comes first); only then is a tail shorter than the pre-buffer pushed
    // out.
    void PlayOut(std::unique_lock<PulseLink>& lock) {
        const pa_buffer_attr* attr = pa_stream_get_buffer_attr(m_stream);
        const size_t room = pa_stream_writable_size(m_stream);
        if (!attr || room == size_t(-1))
            return;
        const uint64_t held = attr->tlength > room ? attr->tlength - room : 0;
        auto end = Clock::now() +
                   std::chrono::microseconds(held * 1000000 / m_format.avgBytesPerSec) + Latency() +
                   20ms;
        for (bool pushed = false;;) {
            while (!Aborted() && m_stream && Clock::now() < end && !QueueHasMore()) {
                if (!PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)) || !m_link.Current())
                    return;
                // Following a chosen device waits for the next buffer.
                m_wake.wait_until(lock, end);
            }
            if (pushed || Aborted() || !m_stream || QueueHasMore())
                return;
            if (pa_operation* op = pa_stream_trigger(m_stream, nullptr, nullptr))
                pa_operation_unref(op);
            m_link.Kick();
            pushed = true;
            end = Clock::now() + std::chrono::milliseconds(kPlaybackPrebufMs) + Latency() + 20ms;
        }
    }

    void OnTiming(pa_stream* s) override {
        // What the server already holds ahead of a sample is counted by the
        // caller as queued audio; below the stream is the sink's own delay.
        if (const pa_timing_info* t = pa_stream_get_timing_info(s))
            m_latencyUs.store(int64_t(t->sink_usec + t->transport_usec), std::memory_order_relaxed);
    }

    void SetUpStream(pa_stream* s) override { pa_stream_set_write_callback(s, OnWritable, this); }
    void DetachStream(pa_stream* s) override { pa_stream_set_write_callback(s, nullptr, nullptr); }
    int Connect(pa_stream* s, const char* device) override {
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = BytesFor(m_format, kPlaybackTargetMs);
        attr.prebuf = BytesFor(m_format, kPlaybackPrebufMs);
        attr.minreq = BytesFor(m_format, kPlaybackRequestMs);
        attr.fragsize = uint32_t(-1);
        const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY);
        return pa_stream_connect_playback(s, device, &attr, flags, nullptr, nullptr);
    }
    static void OnWritable(pa_stream*, size_t, void* self) {
        static_cast<PulseWaveOut*>(self)->m_wake.notify_all();
    }

    bool WaitUntilPaced(Clock::time_point t) override { return WaitUntil(t); }
    void Report(WaveDeviceEvent event) override { Emit(event); }
};

}  // namespace

std::unique_ptr<WaveOutDevice> OpenPlayback(DeviceHome home, const WaveFormat& format,
                                            WaveDoneCallback done, std::string choice) {
    return std::make_unique<PulseWaveOut>(std::move(home), format, std::move(done),
                                          std::move(choice));
}

}  // namespace kestrona::pulse
