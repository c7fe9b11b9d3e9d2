// Real devices through the PulseAudio protocol (PulseAudio itself, or
// PipeWire's pulse server), on a libpulse main loop of our own (PulseLink).
//
// Each device keeps the WaveQueue model: a device thread moves the queued
// buffers into or out of a server stream. All libpulse calls run under the
// main loop's lock; the device thread gives the lock up only while it waits.
//
// Cost: a call runs for hours, so the devices wake only when there is work.
// Playback is asked for in few, large requests (kPlaybackRequestMs); capture
// comes in small fragments (kCaptureFragmentMs, for delay), which wait unread
// in the connection and are read together when a buffer is due. A device
// thread sleeps on its own condition until its stream has room for the rest
// of a buffer, or holds the rest of one, or something it waits for is due.
// No timer runs while sound flows; no timing updates are asked for except
// one every few seconds, and only while buffers move, for the latency report.
//
// Faults: the stream is opened lazily on the device thread, so opening never
// blocks the caller and never fails for want of a server. While there is no
// stream (no server, server gone, device gone) the device goes on in real
// time: capture gives silence at the clock, playback is dropped at the clock,
// and a new stream is tried once a second. A device that once worked reports
// kLost when it goes and kRestored when it is back.
#include <poll.h>
#include <pthread.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/audio_backend.h"
#include "platform/wave_queue.h"

namespace kestrona {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 1500ms;
constexpr auto kStreamTimeout = 1500ms;
constexpr auto kRetryEvery = 1s;
constexpr auto kFollowEvery = 1s;
constexpr auto kTimingEvery = 5s;
// Silence (capture) or discarding (playback) at the clock without a stream
// goes in steps of this much.
constexpr auto kPaceStep = 100ms;
// A capture stream that delivers nothing for this long counts as stalled:
// the device gives silence at the clock until data flows again.
constexpr auto kCaptureStall = 500ms;
// Server-side buffers. Playback keeps up to kPlaybackTargetMs queued in the
// server, room for a whole 250 ms block (of any rate) to go in one write,
// and is asked for more once kPlaybackRequestMs have played. The server
// gives the sink (target - 2 x request) / 2 of its own, 20 ms: small, but
// not so small that it wakes every few milliseconds. The server only holds
// what has arrived, so the target does not add delay.
constexpr int kPlaybackTargetMs = 400;
constexpr int kPlaybackRequestMs = 180;
constexpr int kPlaybackPrebufMs = 40;
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

uint32_t BytesFor(const WaveFormat& f, int ms) {
    return uint32_t(uint64_t(f.avgBytesPerSec) * uint64_t(ms) / 1000) & ~1u;
}

bool ContextGood(pa_context* c) {
    return c && PA_CONTEXT_IS_GOOD(pa_context_get_state(c));
}

// One main loop and one server connection, shared by a backend's devices.
//
// The loop runs on a thread of its own and holds the lock except while it
// sleeps. While sound flows it need not read each packet the server sends
// as it comes (a capture stream brings one every few milliseconds, however
// large the fragments asked for): each device says from when it needs the
// server's messages read (SetDue), and while none does the loop sleeps on,
// leaving them in the socket, and reads them together. Anything sent to the
// server (Kick) or awaited from it (AwaitServer) wakes it at once; with no
// streams it sleeps until the server speaks.
class PulseLink {
  public:
    explicit PulseLink(std::string server) : m_server(std::move(server)) {
        m_loop = pa_mainloop_new();
        if (m_loop)
            pa_mainloop_set_poll_func(m_loop, &PulseLink::Poll, this);
    }
    ~PulseLink() {
        if (!m_loop)
            return;
        if (m_thread.joinable()) {
            lock();
            DropContext();
            pa_mainloop_quit(m_loop, 0);
            unlock();
            Kick();
            m_thread.join();
        }
        pa_mainloop_free(m_loop);
    }
    PulseLink(const PulseLink&) = delete;
    PulseLink& operator=(const PulseLink&) = delete;

    // BasicLockable, for std::unique_lock. The loop's thread starts with the
    // first use, so a backend that is made but never used costs nothing.
    void lock() {
        std::call_once(m_start, [this] {
            if (!m_loop)
                return;
            try {
                m_thread = std::thread([this] { Run(); });
            } catch (const std::system_error&) {
                // No loop: every wait for the server runs into its time-out.
            }
        });
        m_mutex.lock();
    }
    void unlock() { m_mutex.unlock(); }
    bool Usable() const { return m_loop != nullptr; }
    pa_mainloop_api* Api() const { return pa_mainloop_get_api(m_loop); }

    // Under the lock. Releases it until `cv` is signalled (by a context,
    // stream or operation callback) or the deadline; the loop reads the
    // server at once meanwhile. Spurious wake-ups are fine: callers loop.
    void AwaitServer(std::condition_variable_any& cv, Clock::time_point deadline) {
        ++m_awaiting;
        Kick();
        cv.wait_until(*this, deadline);
        --m_awaiting;
    }
    void WaitUntil(Clock::time_point deadline) { AwaitServer(m_changed, deadline); }
    // Under the lock: an answer is awaited without a thread waiting for it
    // (true), or no longer (false).
    void Await(bool on) {
        m_awaiting += on ? 1 : -1;
        if (on)
            Kick();
    }

    // Something was queued for the server: the loop sends it now. Any thread.
    void Kick() {
        {
            std::lock_guard lock(m_paceMutex);
            m_kicked = true;
        }
        m_paceCv.notify_one();
    }
    // Under the lock, for a device with a stream: its messages must be read
    // from `due` on (kNow: at once; kNever: not for this device). Dropped
    // with the device's stream.
    static constexpr Clock::time_point kNow = Clock::time_point::min();
    static constexpr Clock::time_point kNever = Clock::time_point::max();
    void SetDue(const void* device, Clock::time_point due) {
        m_due[device] = due;
        if (due < m_sleepingUntil)
            Kick();
    }
    void ClearDue(const void* device) { m_due.erase(device); }

    // Under the lock: a ready context, connecting (or reconnecting) when
    // there is none. A failed attempt is not repeated within kRetryEvery
    // unless `force`.
    pa_context* Ready(bool force) {
        if (m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY)
            return m_context;
        const auto now = Clock::now();
        if (!ContextGood(m_context)) {
            if (!force && now < m_nextAttempt)
                return nullptr;
            m_nextAttempt = now + kRetryEvery;
            DropContext();
            pa_proplist* props = pa_proplist_new();
            pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Kestrona");
            pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
            m_context = pa_context_new_with_proplist(Api(), "Kestrona", props);
            pa_proplist_free(props);
            if (!m_context)
                return nullptr;
            pa_context_set_state_callback(m_context, &PulseLink::OnContextState, this);
            if (pa_context_connect(m_context, m_server.empty() ? nullptr : m_server.c_str(),
                                   PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
                DropContext();
                return nullptr;
            }
        }
        const auto deadline = Clock::now() + kConnectTimeout;
        pa_context* const connecting = m_context;
        for (;;) {
            // Another device thread may have given up on this context (and
            // dropped it) while this one waited.
            if (m_context != connecting)
                return Current();
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY) {
                m_everConnected = true;
                return m_context;
            }
            if (!PA_CONTEXT_IS_GOOD(state) || Clock::now() >= deadline) {
                DropContext();
                return nullptr;
            }
            WaitUntil(deadline);
        }
    }
    // Under the lock: the context if it is ready now, without trying.
    pa_context* Current() const {
        return m_context && pa_context_get_state(m_context) == PA_CONTEXT_READY ? m_context
                                                                                : nullptr;
    }
    // Whether a server has answered at any time in this process.
    bool EverConnected() const { return m_everConnected; }

    // Waits (under the lock) for an operation whose callback calls Signal to
    // finish, at most `most`; cancels it after that. True when it finished.
    bool Finish(pa_operation* op, std::chrono::milliseconds most) {
        if (!op)
            return false;
        const auto deadline = Clock::now() + most;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && Clock::now() < deadline &&
               Current())
            WaitUntil(deadline);
        const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
        if (!done)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        return done;
    }

    static void Signal(void* link) { static_cast<PulseLink*>(link)->m_changed.notify_all(); }

  private:
    static void OnContextState(pa_context*, void* link) { Signal(link); }

    void Run() {
        pthread_setname_np(pthread_self(), "pulse-loop");
        std::lock_guard lock(m_mutex);
        while (pa_mainloop_iterate(m_loop, 1, nullptr) >= 0) {
        }
    }

    // Under the lock: until when the loop may leave the server unread.
    Clock::time_point SleepUntil(Clock::time_point now) {
        bool kicked;
        {
            std::lock_guard lock(m_paceMutex);
            kicked = m_kicked;
            m_kicked = false;
        }
        if (kicked || m_awaiting > 0 || m_due.empty())
            return now;
        Clock::time_point until = kNever;
        for (const auto& [device, due] : m_due) until = std::min(until, due);
        return until;
    }

    // The loop's poll, called with the lock held: the lock is given up while
    // it sleeps, first (while no device needs the server) on the pace
    // condition, then in poll() proper.
    static int Poll(pollfd* fds, unsigned long count, int timeoutMs, void* self) {
        auto* me = static_cast<PulseLink*>(self);
        const auto start = Clock::now();
        auto until = me->SleepUntil(start);
        if (timeoutMs >= 0)
            until = std::min(until, start + std::chrono::milliseconds(timeoutMs));
        me->m_sleepingUntil = until;
        me->m_mutex.unlock();
        if (until > start) {
            std::unique_lock pace(me->m_paceMutex);
            if (until == kNever)
                me->m_paceCv.wait(pace, [me] { return me->m_kicked; });
            else
                me->m_paceCv.wait_until(pace, until, [me] { return me->m_kicked; });
        }
        if (timeoutMs > 0) {
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            timeoutMs = std::max(0, timeoutMs - int(spent.count()));
        }
        const int r = ::poll(fds, count, timeoutMs);
        me->m_mutex.lock();
        me->m_sleepingUntil = kNow;
        return r;
    }

    void DropContext() {
        if (!m_context)
            return;
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }

    const std::string m_server;
    std::once_flag m_start;
    std::thread m_thread;
    pa_mainloop* m_loop = nullptr;
    // Held by the loop except while it sleeps; recursive, as libpulse's own
    // threaded loop's lock is.
    std::recursive_mutex m_mutex;
    // Pacing: what each device needs (under m_mutex), how many threads wait
    // for an answer, until when the loop sleeps; and the kick that ends the
    // sleep early.
    std::map<const void*, Clock::time_point> m_due;
    int m_awaiting = 0;
    Clock::time_point m_sleepingUntil = kNow;
    std::mutex m_paceMutex;
    std::condition_variable m_paceCv;
    bool m_kicked = false;
    pa_context* m_context = nullptr;
    // Context state and operations; streams have their own (PulseStream).
    std::condition_variable_any m_changed;
    Clock::time_point m_nextAttempt{};
    bool m_everConnected = false;
};

class PulseAudioBackend;

// What a device needs of its backend: the shared link and the notices.
struct DeviceHome {
    std::shared_ptr<PulseLink> link;
    std::weak_ptr<PulseAudioBackend> backend;
};

void ReportMissing(const DeviceHome& home, AudioDirection direction, const std::string& id);
void AddDevice(std::vector<AudioDeviceInfo>& devices, const std::string& defaultName,
               const char* name, const char* description);

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

class PulseAudioBackend final : public AudioBackend,
                                public std::enable_shared_from_this<PulseAudioBackend> {
  public:
    explicit PulseAudioBackend(std::string server)
        : m_link(std::make_shared<PulseLink>(std::move(server))) {}

    // The server may come and go: there is always a default device to open.
    int WaveInDeviceCount() override { return m_link->Usable() ? 1 : 0; }
    int WaveOutDeviceCount() override { return m_link->Usable() ? 1 : 0; }
    WaveResult QueryWaveIn(const WaveFormat& f) override { return Query(f); }
    WaveResult QueryWaveOut(const WaveFormat& f) override { return Query(f); }

    std::unique_ptr<WaveInDevice> OpenWaveIn(const WaveFormat& format, WaveDoneCallback done,
                                             WaveResult* result, std::string* error) override {
        return OpenIn(SelectedDevice(AudioDirection::kInput), format, std::move(done), result,
                      error);
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOut(const WaveFormat& format, WaveDoneCallback done,
                                               WaveResult* result, std::string* error) override {
        return OpenOut(SelectedDevice(AudioDirection::kOutput), format, std::move(done), result,
                       error);
    }
    std::unique_ptr<WaveOutDevice> OpenWaveOutById(const std::string& id, const WaveFormat& format,
                                                   WaveDoneCallback done, WaveResult* result,
                                                   std::string* error) override {
        if (!id.empty() && !Exists(AudioDirection::kOutput, id))
            return Fail<WaveOutDevice>(WaveResult::kNoDevice, "no such wave-out device", result,
                                       error);
        return OpenOut(id, format, std::move(done), result, error);
    }
    std::unique_ptr<WaveInDevice> OpenWaveInById(const std::string& id, const WaveFormat& format,
                                                 WaveDoneCallback done, WaveResult* result,
                                                 std::string* error) override {
        if (!id.empty() && !Exists(AudioDirection::kInput, id))
            return Fail<WaveInDevice>(WaveResult::kNoDevice, "no such wave-in device", result,
                                      error);
        return OpenIn(id, format, std::move(done), result, error);
    }

    std::vector<AudioDeviceInfo> ListDevices(AudioDirection direction) override;

    bool Probe() override {
        bool ok = false;
        if (m_link->Usable()) {
            std::lock_guard lock(*m_link);
            ok = m_link->Ready(true) != nullptr;
        }
        if (!ok && !m_serverReported.exchange(true))
            Notify(AudioNotice::kServerUnavailable, AudioDirection::kOutput);
        return ok;
    }

    std::string Name() const override { return "pulse"; }

    void ReportMissing(AudioDirection direction, const std::string& id) {
        {
            std::lock_guard lock(m_missingMutex);
            if (!m_missingReported.insert({direction, id}).second)
                return;
        }
        Notify(AudioNotice::kChosenDeviceMissing, direction);
    }

  private:
    static WaveResult Query(const WaveFormat& f) {
        return IsSupportedWaveFormat(f) ? WaveResult::kOk : WaveResult::kBadFormat;
    }

    template <typename Device>
    static std::unique_ptr<Device> Fail(WaveResult r, const char* why, WaveResult* result,
                                        std::string* error) {
        if (result)
            *result = r;
        if (error)
            *error = why;
        return nullptr;
    }

    bool Check(const WaveFormat& format, WaveResult* result, std::string* error) {
        if (!m_link->Usable()) {
            Fail<WaveInDevice>(WaveResult::kNoDevice, "PulseAudio: no main loop", result, error);
            return false;
        }
        if (!IsSupportedWaveFormat(format)) {
            Fail<WaveInDevice>(WaveResult::kBadFormat, "unsupported wave format", result, error);
            return false;
        }
        if (result)
            *result = WaveResult::kOk;
        return true;
    }
    std::unique_ptr<WaveInDevice> OpenIn(const std::string& id, const WaveFormat& format,
                                         WaveDoneCallback done, WaveResult* result,
                                         std::string* error) {
        if (!Check(format, result, error))
            return nullptr;
        return std::make_unique<PulseWaveIn>(Home(), format, std::move(done), id);
    }
    std::unique_ptr<WaveOutDevice> OpenOut(const std::string& id, const WaveFormat& format,
                                           WaveDoneCallback done, WaveResult* result,
                                           std::string* error) {
        if (!Check(format, result, error))
            return nullptr;
        return std::make_unique<PulseWaveOut>(Home(), format, std::move(done), id);
    }
    DeviceHome Home() { return DeviceHome{m_link, weak_from_this()}; }

    bool Exists(AudioDirection direction, const std::string& id) {
        for (const AudioDeviceInfo& d : ListDevices(direction)) {
            if (d.id == id)
                return true;
        }
        return false;
    }

    std::shared_ptr<PulseLink> m_link;
    std::atomic<bool> m_serverReported{false};
    std::mutex m_missingMutex;
    std::set<std::pair<AudioDirection, std::string>> m_missingReported;
};

// Lists the default device first.
void AddDevice(std::vector<AudioDeviceInfo>& devices, const std::string& defaultName,
               const char* name, const char* description) {
    if (!name)
        return;
    AudioDeviceInfo d{name, description && *description ? description : name, defaultName == name};
    if (d.isDefault)
        devices.insert(devices.begin(), std::move(d));
    else
        devices.push_back(std::move(d));
}

void ReportMissing(const DeviceHome& home, AudioDirection direction, const std::string& id) {
    if (auto backend = home.backend.lock())
        backend->ReportMissing(direction, id);
}

std::vector<AudioDeviceInfo> PulseAudioBackend::ListDevices(AudioDirection direction) {
    if (!m_link->Usable())
        return {};
    struct Listing {
        PulseLink* link;
        AudioDirection direction;
        std::string defaultName;
        std::vector<AudioDeviceInfo> devices;
    } listing{m_link.get(), direction, {}, {}};
    std::lock_guard lock(*m_link);
    if (pa_context* c = m_link->Ready(true)) {
        pa_operation* op = pa_context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* i, void* p) {
                auto* l = static_cast<Listing*>(p);
                const char* name = !i                                       ? nullptr
                                   : l->direction == AudioDirection::kInput ? i->default_source_name
                                                                            : i->default_sink_name;
                if (name)
                    l->defaultName = name;
                PulseLink::Signal(l->link);
            },
            &listing);
        m_link->Finish(op, 1000ms);
        if (direction == AudioDirection::kInput) {
            op = pa_context_get_source_info_list(
                c,
                [](pa_context*, const pa_source_info* i, int eol, void* p) {
                    auto* l = static_cast<Listing*>(p);
                    // A sink's monitor is not a microphone.
                    if (eol == 0 && i && i->monitor_of_sink == PA_INVALID_INDEX)
                        AddDevice(l->devices, l->defaultName, i->name, i->description);
                    if (eol != 0)
                        PulseLink::Signal(l->link);
                },
                &listing);
        } else {
            op = pa_context_get_sink_info_list(
                c,
                [](pa_context*, const pa_sink_info* i, int eol, void* p) {
                    auto* l = static_cast<Listing*>(p);
                    if (eol == 0 && i)
                        AddDevice(l->devices, l->defaultName, i->name, i->description);
                    if (eol != 0)
                        PulseLink::Signal(l->link);
                },
                &listing);
        }
        m_link->Finish(op, 1000ms);
    }
    return listing.devices;
}

}  // namespace

std::shared_ptr<AudioBackend> MakePulseAudioBackend(std::string server) {
    return std::make_shared<PulseAudioBackend>(std::move(server));
}

bool PulseServerAnswers(const std::string& server) {
    PulseLink link(server);
    if (!link.Usable())
        return false;
    std::lock_guard lock(link);
    return link.Ready(true) != nullptr;
}

}  // namespace kestrona
