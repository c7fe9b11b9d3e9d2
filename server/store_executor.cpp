#include "server/store_executor.h"

#include <algorithm>

namespace kestrona::server {

namespace {

thread_local SteadyTime current_deadline = SteadyTime::max();

std::int64_t Ticks(SteadyTime t) {
    return t.time_since_epoch().count();
}

}  // namespace

SteadyTime CurrentDeadline() {
    return current_deadline;
}

ScopedDeadline::ScopedDeadline(SteadyTime deadline) : previous_(current_deadline) {
    current_deadline = deadline;
}

ScopedDeadline::~ScopedDeadline() {
    current_deadline = previous_;
}

StoreExecutor::StoreExecutor(StoreExecutorConfig config) : config_(config) {
    config_.threads = std::max(1, config_.threads);
    busy_since_ =
        std::make_unique<std::atomic<std::int64_t>[]>(static_cast<std::size_t>(config_.threads));
}

StoreExecutor::~StoreExecutor() {
    Stop();
}

void StoreExecutor::Start(std::function<bool()> probe, std::function<void()> interrupt) {
    std::lock_guard lock(mutex_);
    if (!threads_.empty()) {
        return;
    }
    stopping_ = false;
    probe_ = std::move(probe);
    interrupt_ = std::move(interrupt);
    // Healthy from the start until a probe says otherwise: the store answered
    // when it was opened.
    last_probe_ok_ = Ticks(std::chrono::steady_clock::now());
    for (int i = 0; i < config_.threads; ++i) {
        busy_since_[static_cast<std::size_t>(i)] = 0;
        threads_.emplace_back([this, i] { Work(static_cast<std::size_t>(i)); });
    }
    if (probe_) {
        prober_ = std::thread([this] { Probe(); });
    }
}

// Each job is called once and let go of at once: what it holds (a timer of
// the submitter's context, say) must not outlive the stop.
void StoreExecutor::RefuseAll(std::deque<Item>& items) {
    while (!items.empty()) {
        Item item = std::move(items.front());
        items.pop_front();
        item.job(false);
    }
}

void StoreExecutor::Stop() {
    std::deque<Item> refused;
    {
        std::lock_guard lock(mutex_);
        if (threads_.empty() || stopping_) {
            return;
        }
        stopping_ = true;
        refused.swap(queue_);
    }
    wake_.notify_all();
    probe_wake_.notify_all();
    RefuseAll(refused);
    // A job stuck in a call to a database that does not answer is broken off
    // by closing its connection; asked again until every worker is free,
    // since a job may try another connection after the first one fails.
    auto busy = [this] {
        for (int i = 0; i < config_.threads; ++i) {
            if (busy_since_[static_cast<std::size_t>(i)].load() != 0) {
                return true;
            }
        }
        return probe_running_.load();
    };
    // Jobs that the store answers finish on their own within moments.
    auto grace = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (busy()) {
        if (interrupt_ && std::chrono::steady_clock::now() >= grace) {
            interrupt_();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (std::thread& t : threads_) {
        t.join();
    }
    if (prober_.joinable()) {
        prober_.join();
    }
    {
        std::lock_guard lock(mutex_);
        threads_.clear();
        // Whatever was submitted while the workers finished is refused too,
        // outside the lock, since a job may submit again (and be refused).
        refused.swap(queue_);
    }
    RefuseAll(refused);
}

bool StoreExecutor::Submit(SteadyTime deadline, Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || threads_.empty() || queue_.size() + running_ >= config_.queue_limit) {
            return false;
        }
        queue_.push_back({deadline, std::move(job)});
    }
    wake_.notify_one();
    return true;
}

void StoreExecutor::Work(std::size_t index) {
    for (;;) {
        Item item;
        bool refuse = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;
            }
            item = std::move(queue_.front());
            queue_.pop_front();
            refuse = stopping_ || std::chrono::steady_clock::now() >= item.deadline;
            if (!refuse) {
                busy_since_[index] = Ticks(std::chrono::steady_clock::now());
            }
            ++running_;
        }
        if (refuse) {
            item.job(false);
        } else {
            ScopedDeadline scoped(item.deadline);
            item.job(true);
        }
        busy_since_[index] = 0;
        std::lock_guard lock(mutex_);
        --running_;
    }
}

void StoreExecutor::Probe() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            probe_wake_.wait_for(lock, config_.probe_every, [&] { return stopping_; });
            if (stopping_) {
                return;
            }
        }
        // The probe runs on this thread, not through the queue: a full queue
        // is the workers' business, and a probe that hangs is seen by
        // Healthy through its start time like any job.
        probe_running_ = true;
        auto started = std::chrono::steady_clock::now();
        bool ok = false;
        {
            ScopedDeadline scoped(started + config_.deadline);
            try {
                ok = probe_();
            } catch (...) {
                ok = false;
            }
        }
        probe_running_ = false;
        auto took = std::chrono::steady_clock::now() - started;
        if (ok && took <= config_.deadline) {
            last_probe_ok_ = Ticks(std::chrono::steady_clock::now());
        } else {
            last_probe_ok_ = 0;
        }
    }
}

bool StoreExecutor::Healthy() const {
    std::int64_t now = Ticks(std::chrono::steady_clock::now());
    std::int64_t limit =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(config_.deadline).count();
    for (int i = 0; i < config_.threads; ++i) {
        std::int64_t since = busy_since_[static_cast<std::size_t>(i)].load();
        if (since != 0 && now - since > limit) {
            return false;
        }
    }
    if (!probe_) {
        return true;
    }
    std::int64_t ok = last_probe_ok_.load();
    std::int64_t every =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(config_.probe_every)
            .count();
    // A probe that hangs leaves the last success to age past the deadline.
    return ok != 0 && now - ok <= limit + every;
}

std::size_t StoreExecutor::InFlight() const {
    std::lock_guard lock(mutex_);
    return queue_.size() + running_;
}

}  // namespace kestrona::server
