// Capture through a PulseAudio server.
#include "platform/pulse_stream.h"
#include "platform/wave_queue.h"

namespace kestrona::pulse {
namespace {

// A capture stream that delivers nothing for this long counts as stalled:
// the device gives silence at the clock until data flows again.
constexpr auto kCaptureStall = 500ms;
// A PipeWire server passes capture on only in whole fragments, and runs its
// graph in steps no longer than the shortest latency its streams ask for: a
// fragment of a 20 ms frame lets the newest audio of a buffer follow within
// a step or two. (PulseAudio sends every 20 ms whatever is asked.)
constexpr int kCaptureFragmentMs = 20;
constexpr int kCaptureServerMaxMs = 500;
// Unread capture kept on our side: a whole buffer and kCaptureRingMs more;
// past it the oldest audio goes, down to the newest kCaptureKeepMs, so a
// stall never leaves a lasting backlog.
constexpr int kCaptureRingMs = 300;
constexpr int kCaptureKeepMs = 40;

class PulseWaveIn final : public WaveInDevice, private WaveQueue, private PulseStream {
  public:
    PulseWaveIn(DeviceHome home, const WaveFormat& format, WaveDoneCallback done,
                std::string choice)
        : WaveQueue(std::move(done), true),
          PulseStream(std::move(home), AudioDirection::kInput, format, std::move(choice)),
          m_ring(BytesFor(format, kCaptureRingMs) / 2),
          m_keep(BytesFor(format, kCaptureKeepMs) / 2) {
        Launch();
    }
    ~PulseWaveIn() override {
        Shutdown();
        // The read callback refers to this object's ring.
        std::lock_guard lock(m_link);
        DropStream();
    }

    WaveResult AddBuffer(WaveHeader& h) override { return Enqueue(h); }
    WaveResult Start() override { return StartQueue(); }
    WaveResult Reset() override { return ResetQueue(); }
    WaveResult Close() override { return CloseQueue(); }
    const WaveFormat& Format() const override { return m_format; }
    std::chrono::microseconds Latency() const override {
        return std::chrono::microseconds(m_latencyUs.load(std::memory_order_relaxed));
    }

  private:
    void Wake() override { WakeDevice(); }

    void OnStart() override {
        std::unique_lock lock(m_link);
        m_capturing = true;
        m_fill = 0;
        m_lastData = Clock::now();
        // The stream is made here rather than at the first buffer so that
        // the server starts delivering at once.
        Maintain();
        FlushEvent(lock);
        Cork(false);
    }
    void OnReset() override {
        std::lock_guard lock(m_link);
        m_capturing = false;
        m_fill = 0;
        Cork(true);
    }
    void AfterReopen() override { Cork(!m_capturing); }

    void Cork(bool cork) {
        if (!m_stream || !PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
            return;
        if (pa_operation* op = pa_stream_cork(m_stream, cork ? 1 : 0, nullptr, nullptr))
            pa_operation_unref(op);
        m_link.Kick();
        NeedServerFrom(cork ? PulseLink::kNever : PulseLink::kNow);
    }

    void Transfer(WaveHeader& h) override {
        auto* out = reinterpret_cast<int16_t*>(h.data);
        const uint32_t want = h.bufferLength / 2;
        uint32_t got = 0;
        std::unique_lock lock(m_link);
        FitRing(want);
        while (got < want && !Aborted()) {
            const bool hadStream = m_stream != nullptr;
            Maintain();
            FlushEvent(lock);
            if (m_stream && !hadStream)
                Cork(!m_capturing);
            if (m_fill > 0) {
                got += Take(out + got, want - got);
                continue;
            }
            const bool stalled = m_stream && Clock::now() - m_lastData > kCaptureStall;
            if (stalled && !m_stallChecked) {
                // The server's packets may be waiting unread: read them
                // before calling it a stall.
                m_stallChecked = true;
                NeedServerFrom(PulseLink::kNow);
                WaitForStream(lock, Clock::now() + 20ms);
                continue;
            }
            if (!m_stream || stalled) {
                // No sound to be had: silence, never faster than real time.
                const uint32_t bytes = PaceStep(lock, 2 * (want - got));
                std::fill(out + got, out + got + bytes / 2, int16_t(0));
                got += bytes / 2;
                continue;
            }
            // Woken once the rest of the buffer is there (not for every
            // fragment), or when the stream stalls. The server's packets
            // are read when the rest should have come, and at least twice
            // per stall time (each read puts the next one off).
            m_need = want - got;
            const auto missing = std::chrono::microseconds(int64_t(m_need - m_fill) * 1000000 /
                                                           m_format.samplesPerSec);
            m_blockDue = Clock::now() + missing;
            NeedServerFrom(std::min(m_blockDue, m_lastData + kCaptureStall / 2));
            WaitForStream(lock, m_lastData + kCaptureStall + 1ms);
            m_need = 0;
        }
        // Between buffers the loop still reads now and then, so nothing
        // piles up in the server's connection if the next one is late.
        if (m_stream && m_capturing)
            NeedServerFrom(Clock::now() + kCaptureStall / 2);
        h.bytesRecorded = got * 2;
        // The buffer's last sample is as old as the capture still unread
        // behind it, plus what the server holds.
        m_unreadUs.store(int64_t(m_fill) * 1000000 / m_format.samplesPerSec,
                         std::memory_order_relaxed);
        RefreshTiming();
    }

    // Under the lock. The device thread sleeps until a whole buffer is
    // there, so the store must hold one: it grows, keeping what it holds,
    // the first time a longer buffer comes.
    void FitRing(size_t samples) {
        const size_t cap = samples + BytesFor(m_format, kCaptureRingMs) / 2;
        if (m_ring.size() >= cap)
            return;
        std::vector<int16_t> bigger(cap);
        const uint32_t held = Take(bigger.data(), uint32_t(m_fill));
        m_ring = std::move(bigger);
        m_head = held;
        m_fill = held;
    }

    uint32_t Take(int16_t* to, uint32_t most) {
        const uint32_t n = std::min<uint32_t>(most, uint32_t(m_fill));
        const size_t cap = m_ring.size();
        size_t start = (m_head + cap - m_fill) % cap;
        for (uint32_t k = 0; k < n; ++k) {
            to[k] = m_ring[start];
            start = start + 1 == cap ? 0 : start + 1;
        }
        m_fill -= n;
        return n;
    }

    // On the main loop thread, under the lock.
    void Store(const int16_t* samples, size_t n) {
        const size_t cap = m_ring.size();
        if (cap == 0)
            return;
        if (m_fill + n > cap) {
            // A backlog: keep only the newest audio.
            m_fill = std::min(m_fill, m_keep);
            if (n > cap - m_fill) {
                if (samples)
                    samples += n - (cap - m_fill);
                n = cap - m_fill;
            }
        }
        for (size_t k = 0; k < n; ++k) {
            m_ring[m_head] = samples ? samples[k] : 0;
            m_head = m_head + 1 == cap ? 0 : m_head + 1;
        }
        m_fill += n;
    }

    static void OnReadable(pa_stream* s, size_t, void* self) {
        auto* me = static_cast<PulseWaveIn*>(self);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
            if (me->m_capturing) {
                me->Store(static_cast<const int16_t*>(data), bytes / 2);
                me->m_lastData = Clock::now();
                me->m_stallChecked = false;
            }
            pa_stream_drop(s);
        }
        if (me->m_need > 0 && me->m_fill >= me->m_need)
            me->m_wake.notify_all();
        else if (me->m_need > 0)
            me->NeedServerFrom(std::min(me->m_blockDue, me->m_lastData + kCaptureStall / 2));
    }

    void OnTiming(pa_stream* s) override {
        pa_usec_t usec = 0;
        int negative = 0;
        if (pa_stream_get_latency(s, &usec, &negative) != 0 || negative)
            usec = 0;
        m_latencyUs.store(int64_t(usec) + m_unreadUs.load(std::memory_order_relaxed),
                          std::memory_order_relaxed);
    }

    void SetUpStream(pa_stream* s) override { pa_stream_set_read_callback(s, OnReadable, this); }
    void DetachStream(pa_stream* s) override { pa_stream_set_read_callback(s, nullptr, nullptr); }
    int Connect(pa_stream* s, const char* device) override {
        pa_buffer_attr attr;
        attr.maxlength = BytesFor(m_format, kCaptureServerMaxMs);
        attr.tlength = uint32_t(-1);
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(-1);
        attr.fragsize = BytesFor(m_format, kCaptureFragmentMs);
        const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
        m_lastData = Clock::now();
        return pa_stream_connect_record(s, device, &attr, flags);
    }

    bool WaitUntilPaced(Clock::time_point t) override { return WaitUntil(t); }
    void Report(WaveDeviceEvent event) override { Emit(event); }

    // Capture not yet read by a buffer; guarded by the main loop's lock.
    std::vector<int16_t> m_ring;
    const size_t m_keep;
    size_t m_head = 0;
    size_t m_fill = 0;
    size_t m_need = 0;  // the device thread sleeps until this much is there
    bool m_capturing = false;
    Clock::time_point m_blockDue{};  // when the rest of the buffer should be there
    bool m_stallChecked = false;     // looked for unread packets since the last data
    Clock::time_point m_lastData{};
    std::atomic<int64_t> m_unreadUs{0};
};

}  // namespace

std::unique_ptr<WaveInDevice> OpenCapture(DeviceHome home, const WaveFormat& format,
                                          WaveDoneCallback done, std::string choice) {
    return std::make_unique<PulseWaveIn>(std::move(home), format, std::move(done),
                                         std::move(choice));
}

}  // namespace kestrona::pulse
