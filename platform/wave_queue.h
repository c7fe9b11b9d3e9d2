// The buffer queue and device thread shared by the wave device backends. A
// backend supplies Transfer (fill or play one buffer); the queue hands the
// buffers to it in order, gives them back through the done callback, and
// implements Start, Reset and Close.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/wave_device.h"

namespace kestrona {

class WaveQueue {
  public:
    using Clock = std::chrono::steady_clock;

    WaveQueue(WaveDoneCallback done, bool startsStopped);
    virtual ~WaveQueue();
    WaveQueue(const WaveQueue&) = delete;
    WaveQueue& operator=(const WaveQueue&) = delete;

    WaveResult Enqueue(WaveHeader& h);
    WaveResult StartQueue();
    WaveResult ResetQueue();
    WaveResult CloseQueue();

  protected:
    // Starts the device thread; call at the end of the derived constructor.
    void Launch();
    // Ends the device thread; the derived destructor must call it before its
    // own members go.
    void Shutdown();

    // Fills (wave-in) or plays (wave-out) h; runs on the device thread without
    // the lock. Returns early when Aborted() turns true (Reset or Close). A
    // wave-in transfer sets h.bytesRecorded.
    virtual void Transfer(WaveHeader& h) = 0;
    // Called on the device thread when a Reset has taken the device's buffers.
    virtual void OnReset() {}
    // Called on the device thread when StartQueue has started the device.
    virtual void OnStart() {}
    // Called without the queue's lock whenever a Transfer in progress may
    // want to know: a buffer was queued behind it, or Reset or Close began.
    // A backend whose Transfer waits on something other than WaitUntil
    // wakes it here.
    virtual void Wake() {}

    bool Aborted() const { return m_abort.load(std::memory_order_acquire); }
    // True when another buffer waits behind the one in Transfer.
    bool QueueHasMore();
    // Sleeps until t, or less when aborted. False when aborted.
    bool WaitUntil(Clock::time_point t);

  private:
    void Run();

    WaveDoneCallback m_done;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<WaveHeader*> m_queue;
    const bool m_startsStopped;
    bool m_started;
    bool m_startPending = false;
    bool m_closing = false;
    bool m_closed = false;
    bool m_busy = false;
    bool m_resetting = false;
    bool m_resetPending = false;
    uint64_t m_generation = 0;  // counts Resets
    std::atomic<bool> m_abort{false};
    std::thread m_thread;
};

}  // namespace kestrona
