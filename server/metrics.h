// Counters of the server for an operator, written out in the Prometheus text
// format. Counting never takes a lock; only a scrape reads everything.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "server/reply.h"
#include "server/request.h"
#include "server/store.h"

namespace kestrona::server {

// How an exchange ended, read from the reply it got.
enum class ExchangeResult {
    kAccepted,
    kRefused,
    kWrongPassword,
    kRegistered,
    kEmailTaken,
    kFound,
    kNotFound,
    kTimedOut,
    kSuccess,
    kFail,
    kError,
    kThrottled,
    kNoReply,
};
inline constexpr std::size_t kExchangeResults = 13;

ExchangeResult ResultOfReply(const Bytes& reply);

enum class Throttle { kLoginAddress, kLoginNumber, kRegistration };
inline constexpr std::size_t kThrottles = 3;

enum class Refusal {
    kTooManyConnections,
    kProxyUntrusted,
    kProxyMissing,
    kProxyInvalid,
    kTlsHandshake,
};
inline constexpr std::size_t kRefusals = 5;

// What carried an exchange: the plain listener's TCP or the TLS listener's.
enum class Transport { kPlain, kTls };
inline constexpr std::size_t kTransports = 2;

// What relayed calls did, counted by the directory where it decides.
struct RelayCounters {
    std::atomic<std::uint64_t> credentials_issued{0};
    // By verdict: reachable, not reachable, refused, too many, bad port.
    std::array<std::atomic<std::uint64_t>, 5> reach_verdicts{};
    std::atomic<std::uint64_t> registered{0};
    std::atomic<std::uint64_t> withdrawn{0};
};

// Presence look-ups and mode changes, counted by the directory.
struct PresenceCounters {
    // By outcome: answered, refused, throttled.
    std::array<std::atomic<std::uint64_t>, 3> lookups{};
    // Numbers asked about in answered look-ups.
    std::atomic<std::uint64_t> numbers{0};
    // Mode changes that were stored: to shown, to appear offline.
    std::array<std::atomic<std::uint64_t>, 2> modes{};
};

class Metrics {
  public:
    // command empty: the request was not a whole, known record.
    void Exchange(std::optional<Command> command, ExchangeResult result,
                  std::chrono::steady_clock::duration took);
    void Throttled(Throttle what) { throttled_[static_cast<std::size_t>(what)]++; }
    void Refused(Refusal why) { refused_[static_cast<std::size_t>(why)]++; }
    void Carried(Transport how) {
        carried_[static_cast<std::size_t>(how)].fetch_add(1, std::memory_order_relaxed);
    }

    // Gauges read at scrape time.
    std::function<std::int64_t()> sessions_online;
    std::function<std::int64_t()> password_checks_waiting;
    std::function<std::int64_t()> connections_open;
    // Set once before serving; nothing is written when empty.
    const RelayCounters* relay = nullptr;
    const PresenceCounters* presence = nullptr;
    const DatabaseCounters* database = nullptr;

    std::string Text() const;

  private:
    static constexpr std::size_t kCommands = 14;  // the thirteen and "invalid"
    static constexpr std::array<double, 12> kBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                     0.05,   0.1,   0.25,   0.5,   1.0,  2.5};
    struct Histogram {
        std::array<std::atomic<std::uint64_t>, kBuckets.size()> buckets{};
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::uint64_t> sum_us{0};
    };

    std::array<std::array<std::atomic<std::uint64_t>, kExchangeResults>, kCommands> exchanges_{};
    std::array<Histogram, kCommands> latency_{};
    std::array<std::atomic<std::uint64_t>, kThrottles> throttled_{};
    std::array<std::atomic<std::uint64_t>, kRefusals> refused_{};
    std::array<std::atomic<std::uint64_t>, kTransports> carried_{};
};

}  // namespace kestrona::server
