// The stream handling that capture and playback through a PulseAudio
// server share: opening lazily on the device thread, following the chosen
// device, real-time pacing while there is no stream, loss and return.
//
// Each device keeps the WaveQueue model: a device thread moves the queued
// buffers into or out of a server stream. All libpulse calls run under the
// main loop's lock; the device thread gives the lock up only while it waits.
//
// Cost: a call runs for hours, so the devices wake only when there is work.
// Playback is asked for in few, large requests; capture comes in small
// fragments (for delay), which wait unread in the connection and are read
// together when a buffer is due. A device thread sleeps on its own condition
// until its stream has room for the rest of a buffer, or holds the rest of
// one, or something it waits for is due. No timer runs while sound flows; no
// timing updates are asked for except one every few seconds, and only while
// buffers move, for the latency report.
//
// Faults: the stream is opened lazily on the device thread, so opening never
// blocks the caller and never fails for want of a server. While there is no
// stream (no server, server gone, device gone) the device goes on in real
// time: capture gives silence at the clock, playback is dropped at the clock,
// and a new stream is tried once a second. A device that once worked reports
// kLost when it goes and kRestored when it is back.
#pragma once

#include "platform/audio_backend.h"
#include "platform/pulse_link.h"
#include "platform/wave_device.h"

namespace kestrona::pulse {

constexpr auto kStreamTimeout = 1500ms;
constexpr auto kFollowEvery = 1s;
constexpr auto kTimingEvery = 5s;
// Silence (capture) or discarding (playback) at the clock without a stream
// goes in steps of this much.
constexpr auto kPaceStep = 100ms;

inline uint32_t BytesFor(const WaveFormat& f, int ms) {
    return uint32_t(uint64_t(f.avgBytesPerSec) * uint64_t(ms) / 1000) & ~1u;
}

class PulseAudioBackend;

// What a device needs of its backend: the shared link and the notices.
struct DeviceHome {
    std::shared_ptr<PulseLink> link;
    std::weak_ptr<PulseAudioBackend> backend;
};

// The chosen device is not there (told once per device and direction).
void ReportMissing(const DeviceHome& home, AudioDirection direction, const std::string& id);

// The stream handling common to capture and playback.
class PulseStream {
  protected:
    PulseStream(DeviceHome home, AudioDirection direction, const WaveFormat& format,
                std::string choice)
        : m_home(std::move(home)),
          m_link(*m_home.link),
          m_direction(direction),
          m_format(format),
          m_choice(std::move(choice)) {}
    ~PulseStream() {
        std::lock_guard lock(m_link);
        DropStream();
    }

    // Under the lock: opens a stream when there is none and it is time to
    // try, follows the chosen device, and reports losses and returns. Events
    // are handed out by FlushEvent once the lock is given up.
    void Maintain() {
        const auto now = Clock::now();
        if (m_stream) {
            const pa_stream_state_t state = pa_stream_get_state(m_stream);
            if (PA_STREAM_IS_GOOD(state) && m_link.Current()) {
                if (m_moved || (m_onFallback && now >= m_nextFollow)) {
                    m_moved = false;
                    m_nextFollow = now + kFollowEvery;
                    Follow();
                }
                return;
            }
            // The device or the server went: reopen at once (a device that
            // was unplugged gives way to the default), else go on without.
            DropStream();
            m_nextTry = now;
        }
        if (now < m_nextTry)
            return;
        m_nextTry = now + kRetryEvery;
        if (OpenStream()) {
            if (m_lost) {
                m_lost = false;
                m_pending = WaveDeviceEvent::kRestored;
            }
        } else if (!m_lost) {
            m_lost = true;
            // A device opened while no server had ever answered says
            // nothing: the user heard of that once, at start.
            if (m_link.EverConnected())
                m_pending = WaveDeviceEvent::kLost;
        }
    }

    // Real-time pacing without a stream: waits (lock given up) for the next
    // step and returns how many bytes of it are due, at most `most`.
    uint32_t PaceStep(std::unique_lock<PulseLink>& lock, uint32_t most) {
        const auto now = Clock::now();
        if (m_paceClock < now - 200ms || m_paceClock > now + 200ms)
            m_paceClock = now;
        const uint32_t step = std::min(most, BytesFor(m_format, int(kPaceStep.count())));
        m_paceClock += std::chrono::microseconds(int64_t(step) * 1000000 / m_format.avgBytesPerSec);
        lock.unlock();
        const bool ok = WaitUntilPaced(m_paceClock);
        lock.lock();
        return ok ? step : 0;
    }
    virtual bool WaitUntilPaced(Clock::time_point t) = 0;
    virtual void Report(WaveDeviceEvent event) = 0;

    void FlushEvent(std::unique_lock<PulseLink>& lock) {
        if (!m_pending)
            return;
        const WaveDeviceEvent e = *m_pending;
        m_pending.reset();
        lock.unlock();
        Report(e);
        lock.lock();
    }

    // Under the lock, with a stream: sleeps until a stream callback or Wake
    // signals, or until `deadline`, or until Maintain has something due.
    void WaitForStream(std::unique_lock<PulseLink>& lock,
                       Clock::time_point deadline = Clock::time_point::max()) {
        if (m_onFallback)
            deadline = std::min(deadline, m_nextFollow);
        if (deadline == Clock::time_point::max())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, deadline);
    }
    // Under the lock: from when this device needs the server's messages read
    // (see PulseLink::SetDue).
    void NeedServerFrom(Clock::time_point due) {
        m_link.SetDue(static_cast<PulseStream*>(this), due);
    }
    // Wakes the device thread (takes the lock, so a wake between its last
    // look and its sleep is not lost).
    void WakeDevice() {
        std::lock_guard lock(m_link);
        m_wake.notify_all();
    }

    // Called under the lock with a stream just made, before it connects.
    virtual void SetUpStream(pa_stream* s) = 0;
    virtual int Connect(pa_stream* s, const char* device) = 0;
    virtual void DetachStream(pa_stream* s) = 0;

    void DropStream() {
        // The server may answer a timing request after the stream is gone,
        // and this device with it: the answer must not reach it.
        if (m_timingOp) {
            pa_operation_cancel(m_timingOp);
            pa_operation_unref(m_timingOp);
            m_timingOp = nullptr;
            EndTiming();
        }
        if (!m_stream)
            return;
        DetachStream(m_stream);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_moved_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
        m_link.ClearDue(static_cast<PulseStream*>(this));
        m_link.Kick();
    }

    bool OpenStream() {
        pa_context* c = m_link.Ready(false);
        if (!c)
            return false;
        const std::string choice = m_choice;
        if (!choice.empty() && TryOpen(c, choice.c_str())) {
            m_onFallback = false;
            return true;
        }
        // The wait above gave the lock up: the context may have gone since.
        c = m_link.Current();
        if (!c || !TryOpen(c, nullptr))
            return false;
        if (!choice.empty()) {
            m_onFallback = true;
            m_nextFollow = Clock::now() + kFollowEvery;
            ReportMissing(m_home, m_direction, choice);
        }
        return true;
    }

    bool TryOpen(pa_context* c, const char* device) {
        if (!c)
            return false;
        const pa_sample_spec spec{PA_SAMPLE_S16LE, m_format.samplesPerSec, 1};
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
        pa_stream* s = pa_stream_new_with_proplist(
            c, m_direction == AudioDirection::kInput ? "Kestrona capture" : "Kestrona playback",
            &spec, nullptr, props);
        pa_proplist_free(props);
        if (!s)
            return false;
        pa_stream_set_state_callback(s, OnStreamEvent, this);
        pa_stream_set_moved_callback(s, OnMoved, this);
        SetUpStream(s);
        m_stream = s;
        if (Connect(s, device) < 0) {
            DropStream();
            return false;
        }
        const auto deadline = Clock::now() + kStreamTimeout;
        for (;;) {
            const pa_stream_state_t state = pa_stream_get_state(s);
            if (state == PA_STREAM_READY) {
                m_nextTiming = Clock::now();
                NeedServerFrom(PulseLink::kNow);
                return true;
            }
            if (!PA_STREAM_IS_GOOD(state) || Clock::now() >= deadline) {
                DropStream();
                return false;
            }
            m_link.AwaitServer(m_wake, deadline);
        }
    }

    // Back to the chosen device once it is there again; and noting when the
    // server moved the stream away from it (the device was unplugged).
    void Follow() {
        if (m_choice.empty())
            return;
        const char* at = pa_stream_get_device_name(m_stream);
        const bool onChoice = at && m_choice == at;
        if (onChoice) {
            m_onFallback = false;
            return;
        }
        if (!m_onFallback) {
            m_onFallback = true;
            ReportMissing(m_home, m_direction, m_choice);
        }
        if (!ChoiceExists())
            return;
        pa_stream* old = m_stream;
        m_stream = nullptr;
        if (TryOpen(m_link.Current(), m_choice.c_str())) {
            m_onFallback = false;
            std::swap(old, m_stream);
            DropStream();  // the old one
            m_stream = old;
            AfterReopen();
        } else {
            m_stream = old;
        }
    }
    virtual void AfterReopen() {}

    bool ChoiceExists() {
        pa_context* c = m_link.Current();
        if (!c)
            return false;
        struct Probe {
            bool found = false;
            PulseLink* link;
        } probe{false, &m_link};
        pa_operation* op;
        if (m_direction == AudioDirection::kInput) {
            op = pa_context_get_source_info_by_name(
                c, m_choice.c_str(),
                [](pa_context*, const pa_source_info* i, int eol, void* p) {
                    auto* pr = static_cast<Probe*>(p);
                    if (eol == 0 && i)
                        pr->found = true;
                    PulseLink::Signal(pr->link);
                },
                &probe);
        } else {
            op = pa_context_get_sink_info_by_name(
                c, m_choice.c_str(),
                [](pa_context*, const pa_sink_info* i, int eol, void* p) {
                    auto* pr = static_cast<Probe*>(p);
                    if (eol == 0 && i)
                        pr->found = true;
                    PulseLink::Signal(pr->link);
                },
                &probe);
        }
        m_link.Finish(op, 1000ms);
        return probe.found;
    }

    // Under the lock, while buffers move: asks the server for fresh timing
    // at most once every kTimingEvery; OnTiming takes the answer.
    void RefreshTiming() {
        const auto now = Clock::now();
        if (!m_stream || now < m_nextTiming)
            return;
        m_nextTiming = now + kTimingEvery;
        if (m_timingOp) {
            if (pa_operation_get_state(m_timingOp) == PA_OPERATION_RUNNING)
                return;
            pa_operation_unref(m_timingOp);
        }
        m_timingOp = pa_stream_update_timing_info(m_stream, OnTimingInfo, this);
        // The answer is read at once: the server's timing counts the time it
        // took to come back as transport delay.
        if (m_timingOp && !m_timingAwaited) {
            m_timingAwaited = true;
            m_link.Await(true);
        }
        m_link.Kick();
    }
    // On the main loop thread: the latency to report, from fresh timing.
    virtual void OnTiming(pa_stream* s) = 0;

    static void OnStreamEvent(pa_stream*, void* self) {
        static_cast<PulseStream*>(self)->m_wake.notify_all();
    }
    static void OnMoved(pa_stream*, void* self) {
        auto* me = static_cast<PulseStream*>(self);
        me->m_moved = true;
        me->m_wake.notify_all();
    }
    void EndTiming() {
        if (m_timingAwaited) {
            m_timingAwaited = false;
            m_link.Await(false);
        }
    }
    static void OnTimingInfo(pa_stream* s, int success, void* self) {
        static_cast<PulseStream*>(self)->EndTiming();
        if (success)
            static_cast<PulseStream*>(self)->OnTiming(s);
    }

    DeviceHome m_home;
    PulseLink& m_link;
    const AudioDirection m_direction;
    const WaveFormat m_format;
    const std::string m_choice;
    // The device thread sleeps here; stream callbacks and Wake signal it.
    std::condition_variable_any m_wake;
    pa_stream* m_stream = nullptr;
    pa_operation* m_timingOp = nullptr;  // the timing request in flight
    bool m_timingAwaited = false;
    bool m_lost = false;
    bool m_onFallback = false;
    bool m_moved = false;
    std::optional<WaveDeviceEvent> m_pending;
    Clock::time_point m_nextTry{};
    Clock::time_point m_nextFollow{};
    Clock::time_point m_nextTiming{};
    Clock::time_point m_paceClock{};
    std::atomic<int64_t> m_latencyUs{0};
};

// The two directions, each a device thread over a stream of its own.
std::unique_ptr<WaveOutDevice> OpenPlayback(DeviceHome home, const WaveFormat& format,
                                            WaveDoneCallback done, std::string choice);
std::unique_ptr<WaveInDevice> OpenCapture(DeviceHome home, const WaveFormat& format,
                                          WaveDoneCallback done, std::string choice);

}  // namespace kestrona::pulse
