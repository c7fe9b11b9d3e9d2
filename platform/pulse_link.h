// One libpulse main loop and server connection, shared by the devices of a
// PulseAudio backend (PulseAudio itself, or PipeWire's pulse server).
#pragma once

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
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kestrona::pulse {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 1500ms;
constexpr auto kRetryEvery = 1s;

inline bool ContextGood(pa_context* c) {
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

}  // namespace kestrona::pulse
