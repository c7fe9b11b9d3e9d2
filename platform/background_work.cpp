#include "platform/background_work.h"

#include <vector>

namespace kestrona {

BackgroundWork& BackgroundWork::Process() {
    static BackgroundWork work;
    return work;
}

BackgroundWork::~BackgroundWork() {
    Drain();
}

void BackgroundWork::Run(std::function<void()> job) {
    std::unique_lock lock(m_mutex);
    JoinFinished(lock);
    m_queue.push_back(std::move(job));
    // A worker that is between jobs takes it; otherwise one more starts.
    std::size_t running = 0;
    for (const Worker& w : m_workers) running += w.done ? 0 : 1;
    if (running - m_busy >= m_queue.size() || running >= kMaxThreads)
        return;
    Worker& w = m_workers.emplace_back();
    w.thread = std::thread(&BackgroundWork::Serve, this, &w);
}

void BackgroundWork::Serve(Worker* self) {
    std::unique_lock lock(m_mutex);
    while (!m_queue.empty()) {
        std::function<void()> job = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_busy;
        lock.unlock();
        job();
        job = nullptr;  // what it held goes on this thread, not under the lock
        lock.lock();
        --m_busy;
    }
    self->done = true;
}

void BackgroundWork::JoinFinished(std::unique_lock<std::mutex>& lock) {
    std::vector<std::thread> finished;
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done) {
            finished.push_back(std::move(it->thread));
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
    // A finished worker has only to return; join it without the lock.
    lock.unlock();
    for (std::thread& t : finished) t.join();
    lock.lock();
}

void BackgroundWork::Drain() {
    for (;;) {
        std::list<Worker> workers;
        {
            std::lock_guard lock(m_mutex);
            if (m_workers.empty())
                return;
            workers.swap(m_workers);
        }
        // Workers end when the queue is empty; a job may queue more, which
        // starts new workers, taken in the next round.
        for (Worker& w : workers) w.thread.join();
    }
}

std::size_t BackgroundWork::Pending() const {
    std::lock_guard lock(m_mutex);
    return m_queue.size() + m_busy;
}

}  // namespace kestrona
