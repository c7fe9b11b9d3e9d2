// Gathers keep-alives, the bulk of the load (one per phone per period), and
// look-ups, so that all that arrive while the store is busy with the last
// lot go in one statement each: group commit. At most one lot is queued or
// running at a time; the next one starts with whatever came meanwhile, and
// under load waits a little for more (see the .cpp).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "server/directory.h"
#include "server/store_executor.h"

namespace kestrona::server {

class KeepAliveBatcher {
  public:
    // outcome empty: not done (the queue was full, the deadline passed, or
    // the executor stopped). Called once for every keep-alive Add took,
    // on a store thread or in Add itself.
    using Done = std::function<void(std::optional<Outcome> outcome)>;

    KeepAliveBatcher(StoreExecutor& work, Directory& directory)
        : work_(work), directory_(directory) {}

    void Add(Directory::KeepAlive live, SteadyTime deadline, Done done);
    void Add(QueryRequest query, SteadyTime deadline, Done done);

  private:
    struct Waiting {
        std::variant<Directory::KeepAlive, QueryRequest> request;
        SteadyTime deadline;
        Done done;
        SteadyTime arrived = std::chrono::steady_clock::now();
    };
    void Enqueue(Waiting waiting);
    // Queues a lot on the executor; with the lock held.
    void ScheduleLocked();
    void Flush(bool run);

    StoreExecutor& work_;
    Directory& directory_;
    std::mutex mutex_;
    std::condition_variable full_;
    std::vector<Waiting> waiting_;
    bool scheduled_ = false;
    // A lot is waiting for company; full_ ends the wait once it is full.
    bool gathering_ = false;
    SteadyTime last_arrival_{};
    // Running average of the time between arrivals.
    std::chrono::steady_clock::duration gap_ = std::chrono::milliseconds(20);
};

}  // namespace kestrona::server
