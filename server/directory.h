// What the directory server does with each request: subscribers, logins and
// the sessions of logged-in clients. Safe to call from several threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "server/limits.h"
#include "server/metrics.h"
#include "server/password.h"
#include "server/relay.h"
#include "server/reply.h"
#include "server/request.h"
#include "server/store.h"

namespace kestrona::server {

// Wall-clock time: sessions are shared through the store with other
// instances and outlive a restart, so their times must mean the same there.
using Clock = std::function<std::chrono::system_clock::time_point()>;

struct DirectoryConfig {
    std::int32_t first_number = 10000;
    std::int32_t live_period_s = 60;
    std::chrono::milliseconds session_timeout{180'000};
    std::string welcome;  // code page 936
    std::string notice;   // code page 936
    Clock clock;          // system_clock::now when empty
    RelayConfig relay;    // no relays: relay credentials are refused
    // Reachability checks: per minute, by number and by address, counted in
    // the store for every instance; and how long one may take.
    int reach_checks_per_number = 6;
    int reach_checks_per_address = 12;
    std::chrono::milliseconds reach_connect{1000};
    std::chrono::milliseconds reach_total{1500};
    // Checks under way at once on this instance; each holds a store thread
    // for up to reach_total, so more get "too many" rather than leave the
    // keep-alives waiting.
    int reach_checks_at_once = 2;
    // Presence look-ups per minute, by asking number and by address (0: no
    // limit), counted in this instance's memory.
    int presence_lookups_per_number = 20;
    int presence_lookups_per_address = 40;
};

struct Outcome {
    Bytes reply;         // empty: nothing is sent
    std::string result;  // for the exchange's log line
};

class Directory {
  public:
    Directory(SubscriberStore& store, const PasswordHasher& hasher, DirectoryConfig config);

    // True when handling the request runs argon2id; callers move such work off
    // the threads that serve connections.
    bool IsSlow(const Request& request) const;

    // peer_address is the client's IPv4 address as seen on its connection.
    Outcome Handle(const Request& request, const std::string& peer_address);

    // Keep-alives that arrived together, answered in one store call; the
    // outcomes in the order of the requests.
    struct KeepAlive {
        LiveRequest request;
        std::string peer;
    };
    std::vector<Outcome> LiveBatch(const std::vector<KeepAlive>& batch);
    // Look-ups that arrived together, likewise.
    std::vector<Outcome> QueryBatch(const std::vector<QueryRequest>& batch);

    // Sessions alive now, on every instance that shares the store.
    std::size_t SessionCount() const;

    SubscriberStore& store() { return store_; }
    const RelayCounters& relay_counters() const { return relay_counters_; }
    const PresenceCounters& presence_counters() const { return presence_counters_; }

  private:
    Outcome Login(const LoginRequest& req, const std::string& peer);
    Outcome Register(const RegisterRequest& req, const std::string& peer);
    Outcome Query(const QueryRequest& req);
    Outcome Live(const LiveRequest& req, const std::string& peer);
    Outcome Logout(const LogoutRequest& req, const std::string& peer);
    Outcome Report(const ReportRequest& req, const std::string& peer);
    Outcome ChangePort(const ChangePortRequest& req, const std::string& peer);
    Outcome RelayCreds(const RelayCredsRequest& req, const std::string& peer);
    Outcome ReachCheck(const ReachCheckRequest& req, const std::string& peer);
    Outcome RelayAddr(const RelayAddrRequest& req, const std::string& peer);
    Outcome QueryPeer(const QueryPeerRequest& req);
    Outcome QueryPresence(const QueryPresenceRequest& req, const std::string& peer);
    Outcome PresenceMode(const PresenceModeRequest& req, const std::string& peer);
    // Whether a caller looking the session up is given somewhere to call.
    bool Callable(const SessionRow& session) const;
    Outcome QueryOutcome(std::int32_t callee, const std::optional<SessionRow>& session) const;
    // The session of number if it is alive and was opened from peer.
    std::optional<SessionRow> OwnSession(std::int32_t number, const std::string& peer);
    // The relay holding the session's relayed address, if it has one that a
    // configured relay holds.
    const Relay* RelayOf(const SessionRow& session) const;

    std::int64_t NowMs() const;
    // Sessions last seen before this are dead.
    std::int64_t AliveSince(std::int64_t now_ms) const;
    void Sweep(std::int64_t now_ms);

    SubscriberStore& store_;
    const PasswordHasher& hasher_;
    DirectoryConfig config_;
    VerifiedPasswords verified_;
    AbuseLimits reach_limits_;
    RelayCounters relay_counters_;
    PresenceLimits presence_limits_;
    PresenceCounters presence_counters_;
    std::atomic<int> reach_checks_running_{0};

    std::atomic<std::int64_t> next_sweep_ms_{0};
};

}  // namespace kestrona::server
