#include "platform/wave_queue.h"

#include <cstdint>

namespace kestrona {

WaveQueue::WaveQueue(WaveDoneCallback done, bool startsStopped)
    : m_done(std::move(done)), m_startsStopped(startsStopped), m_started(!startsStopped) {}

WaveQueue::~WaveQueue() {
    Shutdown();
}

void WaveQueue::Launch() {
    m_thread = std::thread([this] { Run(); });
}

void WaveQueue::Shutdown() {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
    }
    ResetQueue();
    CloseQueue();
}

WaveResult WaveQueue::Enqueue(WaveHeader& h) {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || m_closing)
            return WaveResult::kInvalidHandle;
        if (!(h.flags & WaveHeader::kPrepared))
            return WaveResult::kNotPrepared;
        if (h.flags & WaveHeader::kInQueue)
            return WaveResult::kStillPlaying;
        h.flags = (h.flags & ~WaveHeader::kDone) | WaveHeader::kInQueue;
        h.bytesRecorded = 0;
        m_queue.push_back(&h);
    }
    m_cv.notify_all();
    Wake();
    return WaveResult::kOk;
}

WaveResult WaveQueue::StartQueue() {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || m_closing)
            return WaveResult::kInvalidHandle;
        if (!m_started) {
            m_started = true;
            m_startPending = true;
        }
    }
    m_cv.notify_all();
    return WaveResult::kOk;
}

WaveResult WaveQueue::ResetQueue() {
    std::deque<WaveHeader*> taken;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || m_closing)
            return WaveResult::kInvalidHandle;
        m_resetting = true;
        m_abort.store(true, std::memory_order_release);
    }
    m_cv.notify_all();
    Wake();
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return !m_busy; });
        taken.swap(m_queue);
        m_resetting = false;
        m_resetPending = true;
        ++m_generation;
        if (m_startsStopped) {
            m_started = false;
            m_startPending = false;
        }
    }
    m_cv.notify_all();
    for (WaveHeader* h : taken) {
        h->flags = (h->flags & ~WaveHeader::kInQueue) | WaveHeader::kDone;
        m_done(*h);
    }
    return WaveResult::kOk;
}

WaveResult WaveQueue::CloseQueue() {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || m_closing)
            return WaveResult::kInvalidHandle;
        if (!m_queue.empty())
            return WaveResult::kStillPlaying;
        m_closing = true;
        m_abort.store(true, std::memory_order_release);
    }
    m_cv.notify_all();
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    m_closed = true;
    return WaveResult::kOk;
}

bool WaveQueue::QueueHasMore() {
    std::lock_guard lock(m_mutex);
    return m_queue.size() > 1;
}

bool WaveQueue::WaitUntil(Clock::time_point t) {
    std::unique_lock lock(m_mutex);
    return !m_cv.wait_until(lock, t, [this] { return m_abort.load(std::memory_order_acquire); });
}

void WaveQueue::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] {
            return m_closing || m_resetPending || m_startPending ||
                   (!m_resetting && m_started && !m_queue.empty());
        });
        if (m_closing)
            break;
        if (m_resetPending) {
            m_resetPending = false;
            lock.unlock();
            OnReset();
            lock.lock();
            continue;
        }
        if (m_startPending) {
            m_startPending = false;
            lock.unlock();
            OnStart();
            lock.lock();
            continue;
        }
        WaveHeader* h = m_queue.front();
        const uint64_t generation = m_generation;
        m_busy = true;
        m_abort.store(false, std::memory_order_release);
        lock.unlock();
        Transfer(*h);
        lock.lock();
        m_busy = false;
        m_cv.notify_all();
        // A Reset or Close took the buffer back while it was in the device.
        if (generation != m_generation || m_resetting || m_closing)
            continue;
        m_queue.pop_front();
        h->flags = (h->flags & ~WaveHeader::kInQueue) | WaveHeader::kDone;
        lock.unlock();
        m_done(*h);
        lock.lock();
    }
}

}  // namespace kestrona
