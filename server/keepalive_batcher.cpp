#include "server/keepalive_batcher.h"

#include <algorithm>

#include "server/records.h"

namespace kestrona::server {

namespace {

// A lot larger than this is split: one statement stays short.
constexpr std::size_t kMaxLot = 512;
// A lot smaller than this waits up to kGather from its first arrival for
// more, so that at high load each statement carries several requests rather
// than one: the database's CPU (and our round trips) are paid per statement
// far more than per row. A lot that fills up goes at once, and when requests
// come further apart than kGather nothing waits at all (no added latency at
// low load). Longer waits gave larger lots, but their latency cost more
// exchanges per second than the larger lots saved.
constexpr std::size_t kSmallLot = 16;
constexpr auto kGather = std::chrono::milliseconds(1);
// A longer pause counts as this much in the average spacing of arrivals,
// so that the first burst after it is measured quickly.
constexpr auto kAverageCap = std::chrono::milliseconds(20);

}  // namespace

void KeepAliveBatcher::Add(Directory::KeepAlive live, SteadyTime deadline, Done done) {
    Enqueue({std::move(live), deadline, std::move(done)});
}

void KeepAliveBatcher::Add(QueryRequest query, SteadyTime deadline, Done done) {
    Enqueue({query, deadline, std::move(done)});
}

void KeepAliveBatcher::Enqueue(Waiting waiting) {
    std::vector<Waiting> refused;
    {
        std::lock_guard lock(mutex_);
        SteadyTime now = waiting.arrived;
        if (last_arrival_ != SteadyTime{}) {
            auto gap =
                std::min<std::chrono::steady_clock::duration>(now - last_arrival_, kAverageCap);
            gap_ = (gap_ * 7 + gap) / 8;
        }
        last_arrival_ = now;
        waiting_.push_back(std::move(waiting));
        if (gathering_ && waiting_.size() >= kSmallLot) {
            full_.notify_one();
        }
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
        std::unique_lock lock(mutex_);
        if (run && !waiting_.empty()) {
            SteadyTime limit = waiting_.front().arrived + kGather;
            if (gap_ < kGather) {
                gathering_ = true;
                while (waiting_.size() < kSmallLot && std::chrono::steady_clock::now() < limit) {
                    full_.wait_until(lock, limit);
                }
                gathering_ = false;
            }
        }
        std::size_t n = std::min(waiting_.size(), kMaxLot);
        lot.assign(std::make_move_iterator(waiting_.begin()),
                   std::make_move_iterator(waiting_.begin() + static_cast<std::ptrdiff_t>(n)));
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    auto now = std::chrono::steady_clock::now();
    std::vector<Directory::KeepAlive> lives;
    std::vector<Waiting*> live_waiting;
    std::vector<QueryRequest> queries;
    std::vector<Waiting*> query_waiting;
    SteadyTime latest = now;
    for (Waiting& w : lot) {
        if (!run || w.deadline <= now) {
            w.done(std::nullopt);
        } else if (const auto* live = std::get_if<Directory::KeepAlive>(&w.request)) {
            lives.push_back(*live);
            live_waiting.push_back(&w);
            latest = std::max(latest, w.deadline);
        } else {
            queries.push_back(std::get<QueryRequest>(w.request));
            query_waiting.push_back(&w);
            latest = std::max(latest, w.deadline);
        }
    }
    auto answer = [&](std::vector<Waiting*>& waiting, auto work) {
        if (waiting.empty()) {
            return;
        }
        std::vector<Outcome> outcomes;
        try {
            ScopedDeadline scoped(latest);
            outcomes = work();
        } catch (const std::exception& e) {
            outcomes.assign(waiting.size(), Outcome{PlainReply(records::kGeneralError),
                                                    std::string("failed: ") + e.what()});
        }
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            waiting[i]->done(i < outcomes.size() ? std::optional<Outcome>(std::move(outcomes[i]))
                                                 : std::nullopt);
        }
    };
    answer(live_waiting, [&] { return directory_.LiveBatch(lives); });
    answer(query_waiting, [&] { return directory_.QueryBatch(queries); });
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
