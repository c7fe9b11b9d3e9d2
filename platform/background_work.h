// Work that may hang on something outside the process (a name server, a
// sound server that stopped answering) runs here rather than on the thread
// that asked for it. The asker waits for the result with its own deadline,
// or not at all, and may walk away; the job finishes on its own time.
//
// Each job runs on a thread of its own, up to kMaxThreads at once; more jobs
// wait their turn. Every thread is joined: a finished one at the next Run,
// the rest by Drain or when the process's instance is destroyed at exit
// (which therefore lasts as long as the slowest job still running).
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace kestrona {

class BackgroundWork {
  public:
    static constexpr std::size_t kMaxThreads = 8;

    BackgroundWork() = default;
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    // The process's instance.
    static BackgroundWork& Process();

    // Queues the job and returns at once. A job must not throw.
    void Run(std::function<void()> job);
    // Waits until every job queued so far has finished and joins the threads.
    void Drain();
    // Jobs queued or running.
    std::size_t Pending() const;

  private:
    struct Worker {
        std::thread thread;
        bool done = false;
    };
    void Serve(Worker* self);
    void JoinFinished(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
    std::list<Worker> m_workers;
    std::size_t m_busy = 0;
};

}  // namespace kestrona
