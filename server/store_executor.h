// Runs store work on threads of its own, so that the threads serving
// connections never wait on the database. The queue is bounded and every job
// has a deadline: a job that cannot be queued, or whose deadline passed while
// it waited, is refused at once instead of adding to a backlog that nobody
// will wait for. A probe runs through the same threads and tells whether the
// store answers within the deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrona::server {

using SteadyTime = std::chrono::steady_clock::time_point;

// The deadline of the job the calling thread runs; store code waits for
// pooled connections no longer than this. Far in the future outside a job.
SteadyTime CurrentDeadline();

// Sets the calling thread's deadline for its lifetime (tools and tests that
// call a store directly).
class ScopedDeadline {
  public:
    explicit ScopedDeadline(SteadyTime deadline);
    ~ScopedDeadline();
    ScopedDeadline(const ScopedDeadline&) = delete;
    ScopedDeadline& operator=(const ScopedDeadline&) = delete;

  private:
    SteadyTime previous_;
};

struct StoreExecutorConfig {
    int threads = 2;
    // Jobs queued or running; more are refused.
    std::size_t queue_limit = 1024;
    // Given to a job when its submitter names none, and the time the probe
    // may take before the store counts as not answering.
    std::chrono::milliseconds deadline{2000};
    std::chrono::milliseconds probe_every{500};
};

class StoreExecutor {
  public:
    // The job's one call: run is true when it may do its work, false when it
    // is refused (deadline passed in the queue, or the executor stopping).
    // Called exactly once for every job that Submit accepted.
    using Job = std::function<void(bool run)>;

    explicit StoreExecutor(StoreExecutorConfig config);
    ~StoreExecutor();
    StoreExecutor(const StoreExecutor&) = delete;
    StoreExecutor& operator=(const StoreExecutor&) = delete;

    // probe: a cheap store call, true when the store answered; run every
    // probe_every on a thread of its own. interrupt: breaks off store calls
    // in progress for good (connections closed under them); Stop calls it
    // when jobs are still running after a short grace.
    void Start(std::function<bool()> probe = {}, std::function<void()> interrupt = {});
    // Refuses whatever is queued, interrupts the store calls still running
    // and joins every thread. Every accepted job has had its one call, and
    // has been destroyed, when this returns.
    void Stop();

    // False (and the job is not called) when the queue is full or stopped.
    bool Submit(SteadyTime deadline, Job job);

    // True while the last probe succeeded recently and no job has been
    // running for longer than the deadline. Never waits on the store.
    bool Healthy() const;
    // Jobs queued or running.
    std::size_t InFlight() const;
    const StoreExecutorConfig& config() const { return config_; }

  private:
    struct Item {
        SteadyTime deadline;
        Job job;
    };
    static void RefuseAll(std::deque<Item>& items);
    void Work(std::size_t index);
    void Probe();

    StoreExecutorConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable probe_wake_;
    std::deque<Item> queue_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::function<bool()> probe_;
    std::function<void()> interrupt_;
    std::vector<std::thread> threads_;
    std::thread prober_;
    // When each worker began its current job, in steady ticks; 0: idle.
    std::unique_ptr<std::atomic<std::int64_t>[]> busy_since_;
    std::atomic<std::int64_t> last_probe_ok_{0};  // steady ticks; 0: never
    std::atomic<bool> probe_running_{false};
};

}  // namespace kestrona::server
