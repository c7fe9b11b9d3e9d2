#include "server/keepalive_batcher.h"

#include <algorithm>

#include "server/records.h"

namespace kestrona::server {

namespace {

// A lot larger than this is split: one statement stays short.
constexpr std::size_t kMaxLot = 512;

}  // namespace

void KeepAliveBatcher::Add(Directory::KeepAlive live, SteadyTime deadline, Done done) {
    std::vector<Waiting> refused;
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back({std::move(live), deadline, std::move(done)});
        if (!scheduled_) {
            ScheduleLocked();
            if (!scheduled_) {
                refused.swap(waiting_);
            }
        }
    }
    for (Waiting& w : refused) {
        w.done(std::nullopt);
    }
}

void KeepAliveBatcher::ScheduleLocked() {
    // The lot's own deadline is no one's: each keep-alive is checked against
    // its own when the lot runs.
    scheduled_ = work_.Submit(SteadyTime::max(), [this](bool run) { Flush(run); });
}

void KeepAliveBatcher::Flush(bool run) {
    std::vector<Waiting> lot;
    {
        std::lock_guard lock(mutex_);
        std::size_t n = std::min(waiting_.size(), kMaxLot);
        lot.assign(std::make_move_iterator(waiting_.begin()),
                   std::make_move_iterator(waiting_.begin() + static_cast<std::ptrdiff_t>(n)));
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    auto now = std::chrono::steady_clock::now();
    std::vector<Directory::KeepAlive> batch;
    std::vector<Waiting*> in_batch;
    SteadyTime latest = now;
    for (Waiting& w : lot) {
        if (!run || w.deadline <= now) {
            w.done(std::nullopt);
        } else {
            batch.push_back(w.live);
            in_batch.push_back(&w);
            latest = std::max(latest, w.deadline);
        }
    }
    if (!batch.empty()) {
        std::vector<Outcome> outcomes;
        try {
            ScopedDeadline scoped(latest);
            outcomes = directory_.LiveBatch(batch);
        } catch (const std::exception& e) {
            outcomes.assign(batch.size(), Outcome{PlainReply(records::kGeneralError),
                                                  std::string("failed: ") + e.what()});
        }
        for (std::size_t i = 0; i < in_batch.size(); ++i) {
            in_batch[i]->done(i < outcomes.size() ? std::optional<Outcome>(std::move(outcomes[i]))
                                                  : std::nullopt);
        }
    }
    std::vector<Waiting> refused;
    {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
        if (!waiting_.empty()) {
            if (run) {
                ScheduleLocked();
            }
            if (!scheduled_) {
                refused.swap(waiting_);
            }
        }
    }
    for (Waiting& w : refused) {
        w.done(std::nullopt);
    }
}

}  // namespace kestrona::server
