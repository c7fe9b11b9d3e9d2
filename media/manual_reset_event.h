// An event that stays signalled until it is reset, as the engine's threads
// use them to pass ring buffers around. Set is safe from any thread,
// including a device callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrona {

class ManualResetEvent {
  public:
    explicit ManualResetEvent(bool initiallySet = false) : m_set(initiallySet) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set() {
        {
            std::lock_guard lock(m_mutex);
            m_set = true;
        }
        m_cv.notify_all();
    }
    void Reset() {
        std::lock_guard lock(m_mutex);
        m_set = false;
    }
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_set; });
    }
    // False when the time ran out first.
    template <class Rep, class Period>
    bool WaitFor(std::chrono::duration<Rep, Period> limit) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, limit, [this] { return m_set; });
    }
    bool IsSet() {
        std::lock_guard lock(m_mutex);
        return m_set;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_set;
};

}  // namespace kestrona
