#include "server/keepalive_batcher.h"

#include <algorithm>

#include "server/records.h"

namespace kestrona::server {

namespace {

// A lot larger than this is split: one statement stays short.
constexpr std::size_t kMaxLot = 512;
// A lot this large goes at once, whatever the window below.
constexpr std::size_t kFullLot = 64;
// Under load a lot waits for company before it goes, so that each
// statement carries several requests: what the database's CPU (and our
// round trips) cost is paid per statement far more than per row. The wait
// is a few times what the last lots took in the store, so an in-process
// store that answers in microseconds waits as little, and a database
// across the network up to kMaxGather; when requests come further apart
// than half the wait, nothing waits at all (no added latency when idle).
constexpr int kWindowPerLotTime = 4;
constexpr auto kMaxGather = std::chrono::milliseconds(3);
// Longer spans count as this much in the averages below, so that a pause
// is measured quickly and one slow lot does not set the wait for long.
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
        if (gathering_ && waiting_.size() >= kFullLot) {
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
            auto window = std::min<std::chrono::steady_clock::duration>(
                kMaxGather, lot_time_ * kWindowPerLotTime);
            SteadyTime limit = waiting_.front().arrived + window;
            if (gap_ * 2 < window) {
                gathering_ = true;
                while (waiting_.size() < kFullLot && std::chrono::steady_clock::now() < limit) {
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
    auto began = std::chrono::steady_clock::now();
    answer(live_waiting, [&] { return directory_.LiveBatch(lives); });
    answer(query_waiting, [&] { return directory_.QueryBatch(queries); });
    if (!live_waiting.empty() || !query_waiting.empty()) {
        auto took = std::min<std::chrono::steady_clock::duration>(
            std::chrono::steady_clock::now() - began, kAverageCap);
        std::lock_guard lock(mutex_);
        lot_time_ = (lot_time_ * 3 + took) / 4;
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
