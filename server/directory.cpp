#include "server/directory.h"

#include <string_view>

#include "server/records.h"
#include "server/store_executor.h"

namespace kestrona::server {

namespace r = records;

namespace {

// Port 0 is what a phone announces when it could not open its listening
// socket (or its proxy could not bind one): it is logged in but cannot be
// called.
bool ValidPort(std::int32_t port) {
    return port >= 0 && port <= 65535;
}

}  // namespace

Directory::Directory(SubscriberStore& store, const PasswordHasher& hasher, DirectoryConfig config)
    : store_(store),
      hasher_(hasher),
      config_(std::move(config)),
      reach_limits_(
          [this] {
              LimitsConfig limits;
              limits.reach_checks_per_number = config_.reach_checks_per_number;
              limits.reach_checks_per_address = config_.reach_checks_per_address;
              limits.clock = config_.clock;
              return limits;
          }(),
          store),
      presence_limits_(config_.presence_lookups_per_number, config_.presence_lookups_per_address) {}

std::int64_t Directory::NowMs() const {
    auto now = config_.clock ? config_.clock() : std::chrono::system_clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
}

std::int64_t Directory::AliveSince(std::int64_t now_ms) const {
    // Alive while now - last_seen < time-out.
    return now_ms - config_.session_timeout.count() + 1;
}

void Directory::Sweep(std::int64_t now_ms) {
    std::int64_t due = next_sweep_ms_.load();
    // One thread of this instance tries per period; the store makes sure that
    // one instance of all those sharing it does the work.
    if (now_ms < due ||
        !next_sweep_ms_.compare_exchange_strong(due, now_ms + config_.session_timeout.count())) {
        return;
    }
    store_.SweepSessions(now_ms, AliveSince(now_ms), config_.session_timeout.count());
}

std::size_t Directory::SessionCount() const {
    try {
        return store_.CountSessions(AliveSince(NowMs()));
    } catch (const std::exception&) {
        // Asked by the metrics scrape, which must not fail with the database.
        return 0;
    }
}

bool Directory::IsSlow(const Request& request) const {
    if (std::holds_alternative<RegisterRequest>(request)) {
        return true;
    }
    if (const auto* login = std::get_if<LoginRequest>(&request)) {
        return !verified_.Matches(login->number, login->password);
    }
    return false;
}

Outcome Directory::Handle(const Request& request, const std::string& peer) {
    return std::visit(
        [&](const auto& req) -> Outcome {
            using T = std::decay_t<decltype(req)>;
            if constexpr (std::is_same_v<T, LoginRequest>) {
                return Login(req, peer);
            } else if constexpr (std::is_same_v<T, RegisterRequest>) {
                return Register(req, peer);
            } else if constexpr (std::is_same_v<T, QueryRequest>) {
                return Query(req);
            } else if constexpr (std::is_same_v<T, LiveRequest>) {
                return Live(req, peer);
            } else if constexpr (std::is_same_v<T, LogoutRequest>) {
                return Logout(req, peer);
            } else if constexpr (std::is_same_v<T, ReportRequest>) {
                return Report(req, peer);
            } else if constexpr (std::is_same_v<T, ChangePortRequest>) {
                return ChangePort(req, peer);
            } else if constexpr (std::is_same_v<T, RelayCredsRequest>) {
                return RelayCreds(req, peer);
            } else if constexpr (std::is_same_v<T, ReachCheckRequest>) {
                return ReachCheck(req, peer);
            } else if constexpr (std::is_same_v<T, RelayAddrRequest>) {
                return RelayAddr(req, peer);
            } else if constexpr (std::is_same_v<T, QueryPeerRequest>) {
                return QueryPeer(req);
            } else if constexpr (std::is_same_v<T, QueryPresenceRequest>) {
                return QueryPresence(req, peer);
            } else {
                static_assert(std::is_same_v<T, PresenceModeRequest>);
                return PresenceMode(req, peer);
            }
        },
        request);
}

Outcome Directory::Login(const LoginRequest& req, const std::string& peer) {
    auto refuse = [&](std::int32_t result, std::string why) {
        return Outcome{LoginResult(result, config_.live_period_s, {}, {}), std::move(why)};
    };
    if (req.number <= 0 || !ValidPort(req.port)) {
        return refuse(r::login_result::kRefused, "refused: bad number or port");
    }
    std::optional<std::string> hash = store_.PasswordHash(req.number);
    // An unknown number answers like a wrong password, so that numbers
    // cannot be probed.
    if (!hash) {
        return refuse(r::login_result::kWrongPassword, "wrong password: unknown number");
    }
    if (!verified_.Matches(req.number, req.password, *hash)) {
        if (!hasher_.Verify(*hash, req.password)) {
            return refuse(r::login_result::kWrongPassword, "wrong password");
        }
        verified_.Remember(req.number, req.password, *hash);
    }
    std::int64_t now = NowMs();
    Sweep(now);
    if (!store_.PutSession(SessionRow{req.number, peer, req.port, now, {}, 0})) {
        return {PlainReply(r::kGeneralError), "failed: database"};
    }
    return {LoginResult(r::login_result::kAccepted, config_.live_period_s, config_.welcome,
                        config_.notice),
            req.port == 0 ? std::string("accepted, port 0: not reachable")
                          : "accepted, port " + std::to_string(req.port)};
}

Outcome Directory::Register(const RegisterRequest& req, const std::string& peer) {
    if (req.name.empty() || req.password.empty() || req.email.empty()) {
        return {PlainReply(r::kGeneralError), "refused: empty name, password or e-mail"};
    }
    NewSubscriber subscriber{req.name, hasher_.Hash(req.password), req.email, req.country, req.city,
                             peer};
    if (subscriber.password_hash.empty()) {
        return {PlainReply(r::kGeneralError), "failed: cannot hash password"};
    }
    AddResult added = store_.AddSubscriber(subscriber, config_.first_number);
    switch (added.status) {
        case AddStatus::kAdded:
            verified_.Remember(added.number, req.password, subscriber.password_hash);
            return {RegisterSuccess(added.number), "registered " + std::to_string(added.number)};
        case AddStatus::kEmailTaken:
            return {RegisterFailEmail(), "e-mail taken"};
        case AddStatus::kNumbersExhausted:
            return {PlainReply(r::kGeneralError), "failed: no numbers left"};
        case AddStatus::kFailed:
            break;
    }
    return {PlainReply(r::kGeneralError), "failed: database"};
}

const Relay* Directory::RelayOf(const SessionRow& session) const {
    if (session.relay_port <= 0 || session.relay_port > 65535) {
        return nullptr;
    }
    // A relay dropped from the configuration since: the phone is called
    // where it was seen, as before it announced one.
    return RelayHolding(config_.relay, session.relay_address, session.number);
}

Outcome Directory::QueryOutcome(std::int32_t callee,
                                const std::optional<SessionRow>& session) const {
    if (!session) {
        return {QueryNotFound(), "not found " + std::to_string(callee)};
    }
    if (RelayOf(*session)) {
        // Phones that know nothing of relays get the relayed address too:
        // they fail to connect there, as they would at the phone itself.
        return {QueryResult(session->relay_address, session->relay_port),
                std::to_string(callee) + " relayed at " + session->relay_address + ":" +
                    std::to_string(session->relay_port)};
    }
    if (session->port == 0) {
        // Nothing listens for it: the caller is told at once that the number
        // cannot be reached, rather than sent to port 0.
        return {QueryNotFound(), "not found: " + std::to_string(callee) + " has no port"};
    }
    if (session->address.size() >= r::query_result::kAddressField) {
        // An address that does not fit the field (IPv6) cannot be given out whole.
        return {QueryNotFound(), "not found: address does not fit"};
    }
    return {
        QueryResult(session->address, session->port),
        std::to_string(callee) + " at " + session->address + ":" + std::to_string(session->port)};
}

Outcome Directory::Query(const QueryRequest& req) {
    return QueryOutcome(req.callee, store_.FindSession(req.callee, AliveSince(NowMs())));
}

std::vector<Outcome> Directory::QueryBatch(const std::vector<QueryRequest>& batch) {
    std::vector<std::int32_t> numbers;
    numbers.reserve(batch.size());
    for (const QueryRequest& q : batch) {
        numbers.push_back(q.callee);
    }
    std::vector<std::optional<SessionRow>> found =
        store_.FindSessions(numbers, AliveSince(NowMs()));
    std::vector<Outcome> outcomes;
    outcomes.reserve(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        outcomes.push_back(
            QueryOutcome(batch[i].callee, i < found.size() ? found[i] : std::nullopt));
    }
    return outcomes;
}

namespace {

Outcome LiveOutcome(SessionStatus status) {
    switch (status) {
        case SessionStatus::kDone:
            return {PlainReply(r::kCommandSuccess), "refreshed"};
        case SessionStatus::kNoSession:
            return {PlainReply(r::kAlreadyTimeout), "timed out"};
        case SessionStatus::kOtherAddress:
            // Someone else's session: the sender has none of its own here. The
            // owner's session is left as it is.
            return {PlainReply(r::kAlreadyTimeout),
                    "timed out: session belongs to another address"};
        case SessionStatus::kFailed:
            break;
    }
    // Not ALREADYTIMEOUT: that would make the phone start over, while the
    // session may well be there once the database answers again.
    return {PlainReply(r::kGeneralError), "failed: database"};
}

}  // namespace

Outcome Directory::Live(const LiveRequest& req, const std::string& peer) {
    std::int64_t now = NowMs();
    Sweep(now);
    return LiveOutcome(store_.TouchSession(req.number, peer, now, AliveSince(now)));
}

std::vector<Outcome> Directory::LiveBatch(const std::vector<KeepAlive>& batch) {
    std::int64_t now = NowMs();
    Sweep(now);
    std::vector<SubscriberStore::Touch> touches;
    touches.reserve(batch.size());
    for (const KeepAlive& live : batch) {
        touches.push_back({live.request.number, live.peer});
    }
    std::vector<SessionStatus> statuses = store_.TouchSessions(touches, now, AliveSince(now));
    std::vector<Outcome> outcomes;
    outcomes.reserve(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        outcomes.push_back(LiveOutcome(i < statuses.size() ? statuses[i] : SessionStatus::kFailed));
    }
    return outcomes;
}

namespace {

Outcome SessionChange(SessionStatus status, std::string done) {
    switch (status) {
        case SessionStatus::kDone:
            return {PlainReply(r::kCommandSuccess), std::move(done)};
        case SessionStatus::kNoSession:
            return {PlainReply(r::kCommandFail), "no session"};
        case SessionStatus::kOtherAddress:
            return {PlainReply(r::kCommandFail), "refused: session belongs to another address"};
        case SessionStatus::kFailed:
            break;
    }
    return {PlainReply(r::kCommandFail), "failed: database"};
}

}  // namespace

Outcome Directory::Logout(const LogoutRequest& req, const std::string& peer) {
    return SessionChange(store_.RemoveSession(req.number, peer), "logged out");
}

Outcome Directory::Report(const ReportRequest& req, const std::string& peer) {
    if (req.kind < 1 || req.kind > 3 || req.own <= 0) {
        return {PlainReply(r::kCommandFail), "refused: bad report"};
    }
    if (!store_.AddCallReport(CallReport{req.kind, req.other, req.own, req.seconds, peer})) {
        return {PlainReply(r::kCommandFail), "failed: database"};
    }
    return {PlainReply(r::kCommandSuccess), "stored kind " + std::to_string(req.kind)};
}

Outcome Directory::ChangePort(const ChangePortRequest& req, const std::string& peer) {
    if (!ValidPort(req.port)) {
        return {PlainReply(r::kCommandFail), "refused: bad port"};
    }
    // Port 0 follows a failed rebind: the old port is gone, so the session
    // stays but cannot be called until a later change.
    return SessionChange(store_.ChangeSessionPort(req.number, peer, req.port, AliveSince(NowMs())),
                         "port " + std::to_string(req.port));
}

std::optional<SessionRow> Directory::OwnSession(std::int32_t number, const std::string& peer) {
    std::optional<SessionRow> session = store_.FindSession(number, AliveSince(NowMs()));
    if (!session || session->address != peer) {
        return std::nullopt;
    }
    return session;
}

namespace {

RelayEntry EntryOf(const Relay& relay) {
    return {relay.spec.host, relay.spec.port, relay.spec.tls ? r::relay_creds_result::kFlagTls : 0};
}

}  // namespace

Outcome Directory::RelayCreds(const RelayCredsRequest& req, const std::string& peer) {
    namespace f = r::relay_creds_result;
    const auto ttl = static_cast<std::int32_t>(config_.relay.ttl.count());
    if (config_.relay.relays.empty()) {
        return {RelayCredsResult(f::kNoRelay, 0, {}, {}, {}, {}), "no relay configured"};
    }
    if (!OwnSession(req.number, peer)) {
        return {RelayCredsResult(f::kNoSession, 0, {}, {}, {}, {}),
                "refused: no session of this number from this address"};
    }
    RelayCredentials c =
        MakeRelayCredentials(config_.relay.secret, req.number, NowMs() / 1000, config_.relay.ttl);
    auto [first, second] = ChooseRelays(req.number, config_.relay.relays.size());
    const Relay& one = config_.relay.relays[first];
    RelayEntry other = second ? EntryOf(config_.relay.relays[*second]) : RelayEntry{};
    relay_counters_.credentials_issued.fetch_add(1, std::memory_order_relaxed);
    return {RelayCredsResult(f::kIssued, ttl, c.username, c.password, EntryOf(one), other),
            "issued for " + one.spec.host};
}

Outcome Directory::ReachCheck(const ReachCheckRequest& req, const std::string& peer) {
    namespace f = r::reach_result;
    auto verdict = [&](std::int32_t v, std::string why) {
        relay_counters_.reach_verdicts[static_cast<std::size_t>(v)].fetch_add(
            1, std::memory_order_relaxed);
        return Outcome{ReachResult(v, peer, req.port), std::move(why)};
    };
    if (req.port < 1 || req.port > 65535) {
        return verdict(f::kBadPort, "bad port");
    }
    std::optional<SessionRow> session = OwnSession(req.number, peer);
    if (!session) {
        return verdict(f::kRefused, "refused: no session of this number from this address");
    }
    struct Running {
        std::atomic<int>& count;
        int before = count.fetch_add(1);
        ~Running() { count.fetch_sub(1); }
    } running{reach_checks_running_};
    if (running.before >= config_.reach_checks_at_once) {
        return verdict(f::kTooMany, "busy: too many reachability checks under way");
    }
    // The whole check ends in time for the reply to make the request's
    // deadline, whatever the queue before it took; with too little of it
    // left, a verdict would say nothing, and the phone is told to try later.
    auto now = std::chrono::steady_clock::now();
    auto until = now + config_.reach_total;
    SteadyTime deadline = CurrentDeadline();
    if (deadline != SteadyTime::max()) {
        until = std::min(until, deadline - std::chrono::milliseconds(50));
    }
    if (until - now < config_.reach_total / 3) {
        return verdict(f::kTooMany, "busy: too little time left before the deadline");
    }
    if (!reach_limits_.AllowReachCheck(peer, req.number)) {
        return verdict(f::kTooMany, "throttled: too many reachability checks");
    }
    std::string target = session->address + ":" + std::to_string(req.port);
    if (ProbeReach(session->address, static_cast<std::uint16_t>(req.port), config_.reach_connect,
                   until) == ReachVerdict::kReachable) {
        return verdict(f::kReachable, "reachable at " + target);
    }
    return verdict(f::kUnreachable, "not reachable at " + target);
}

Outcome Directory::RelayAddr(const RelayAddrRequest& req, const std::string& peer) {
    const std::int64_t alive = AliveSince(NowMs());
    if (req.port == 0) {
        Outcome o = SessionChange(store_.SetSessionRelay(req.number, peer, {}, 0, alive),
                                  "relayed address withdrawn");
        if (ResultOfReply(o.reply) == ExchangeResult::kSuccess) {
            relay_counters_.withdrawn.fetch_add(1, std::memory_order_relaxed);
        }
        return o;
    }
    if (req.port < 0 || req.port > 65535) {
        return {PlainReply(r::kCommandFail), "refused: bad port"};
    }
    std::optional<std::string> address = CanonicalIpv4(req.address);
    if (!address || !RelayHolding(config_.relay, *address, req.number)) {
        return {PlainReply(r::kCommandFail), "refused: not a relay's address"};
    }
    Outcome o = SessionChange(store_.SetSessionRelay(req.number, peer, *address, req.port, alive),
                              "relayed at " + *address + ":" + std::to_string(req.port));
    if (ResultOfReply(o.reply) == ExchangeResult::kSuccess) {
        relay_counters_.registered.fetch_add(1, std::memory_order_relaxed);
    }
    return o;
}

Outcome Directory::QueryPeer(const QueryPeerRequest& req) {
    namespace f = r::query_peer_result;
    std::optional<SessionRow> session = store_.FindSession(req.callee, AliveSince(NowMs()));
    if (!session) {
        return {QueryNotFound(), "not found " + std::to_string(req.callee)};
    }
    if (const Relay* relay = RelayOf(*session)) {
        return {QueryPeerResult(f::kRelayed, session->relay_address, session->relay_port,
                                EntryOf(*relay)),
                std::to_string(req.callee) + " relayed at " + session->relay_address + ":" +
                    std::to_string(session->relay_port) + " on " + relay->spec.host};
    }
    if (session->port == 0 || session->address.size() >= f::kAddressField) {
        return {QueryNotFound(), "not found: " + std::to_string(req.callee) + " cannot be reached"};
    }
    return {QueryPeerResult(f::kDirect, session->address, session->port, {}),
            std::to_string(req.callee) + " at " + session->address + ":" +
                std::to_string(session->port)};
}

bool Directory::Callable(const SessionRow& session) const {
    // The same as a look-up gives out: a relayed address, or the address
    // seen with a port, when it fits the reply.
    return RelayOf(session) != nullptr ||
           (session.port != 0 && session.address.size() < r::query_result::kAddressField);
}

Outcome Directory::QueryPresence(const QueryPresenceRequest& req, const std::string& peer) {
    namespace f = r::presence_result;
    enum { kAnswered, kRefused, kThrottled };
    auto count = [&](int outcome) {
        presence_counters_.lookups[outcome].fetch_add(1, std::memory_order_relaxed);
    };
    const std::int64_t now = NowMs();
    // Counted before anything is read, so that a flood from one address
    // costs the database nothing.
    if (!presence_limits_.AllowAddress(peer, now)) {
        count(kThrottled);
        return {PresenceResult(f::kTooMany, {}), "throttled: too many look-ups from this address"};
    }
    if (req.count < 0 || req.count > r::query_presence::kMaxNumbers) {
        count(kRefused);
        return {PresenceResult(f::kRefused, {}),
                "refused: " + std::to_string(req.count) + " numbers"};
    }
    // The asker's own session and every number asked, in one look-up; numbers
    // that cannot be anyone's are not asked for.
    std::vector<std::int32_t> numbers{req.asker};
    numbers.reserve(static_cast<std::size_t>(req.count) + 1);
    for (std::int32_t i = 0; i < req.count; ++i) {
        if (req.numbers[static_cast<std::size_t>(i)] > 0) {
            numbers.push_back(req.numbers[static_cast<std::size_t>(i)]);
        }
    }
    std::vector<std::optional<SessionRow>> found = store_.FindSessions(numbers, AliveSince(now));
    found.resize(numbers.size());
    if (req.asker <= 0 || !found[0] || found[0]->address != peer) {
        count(kRefused);
        return {PresenceResult(f::kRefused, {}),
                "refused: no session of this number from this address"};
    }
    if (!presence_limits_.AllowNumber(req.asker, now)) {
        count(kThrottled);
        return {PresenceResult(f::kTooMany, {}), "throttled: too many look-ups for this number"};
    }
    std::array<bool, r::query_presence::kMaxNumbers> online{};
    std::size_t next = 1;
    int shown = 0;
    for (std::int32_t i = 0; i < req.count; ++i) {
        if (req.numbers[static_cast<std::size_t>(i)] <= 0) {
            continue;
        }
        const std::optional<SessionRow>& s = found[next++];
        online[static_cast<std::size_t>(i)] = s && !s->hidden && Callable(*s);
        shown += online[static_cast<std::size_t>(i)] ? 1 : 0;
    }
    count(kAnswered);
    presence_counters_.numbers.fetch_add(static_cast<std::uint64_t>(req.count),
                                         std::memory_order_relaxed);
    return {PresenceResult(f::kAnswered, std::span<const bool>(
                                             online.data(), static_cast<std::size_t>(req.count))),
            std::to_string(shown) + " of " + std::to_string(req.count) + " online"};
}

Outcome Directory::PresenceMode(const PresenceModeRequest& req, const std::string& peer) {
    namespace f = r::presence_mode;
    if (req.mode != f::kShown && req.mode != f::kHidden) {
        return {PlainReply(r::kCommandFail), "refused: mode " + std::to_string(req.mode)};
    }
    const bool hidden = req.mode == f::kHidden;
    Outcome o =
        SessionChange(store_.SetSessionHidden(req.number, peer, hidden, AliveSince(NowMs())),
                      hidden ? "appears offline" : "shown");
    if (ResultOfReply(o.reply) == ExchangeResult::kSuccess) {
        presence_counters_.modes[hidden ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
    }
    return o;
}

}  // namespace kestrona::server
