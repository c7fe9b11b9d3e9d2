#include "server/directory.h"

#include <string_view>

#include "server/records.h"

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
    : store_(store), hasher_(hasher), config_(std::move(config)) {}

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
            } else {
                return ChangePort(req, peer);
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
    if (!store_.PutSession(SessionRow{req.number, peer, req.port, now})) {
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

namespace {

Outcome QueryOutcome(const QueryRequest& req, const std::optional<SessionRow>& session) {
    if (!session) {
        return {QueryNotFound(), "not found " + std::to_string(req.callee)};
    }
    if (session->port == 0) {
        // Nothing listens for it: the caller is told at once that the number
        // cannot be reached, rather than sent to port 0.
        return {QueryNotFound(), "not found: " + std::to_string(req.callee) + " has no port"};
    }
    if (session->address.size() >= r::query_result::kAddressField) {
        // An address that does not fit the field (IPv6) cannot be given out whole.
        return {QueryNotFound(), "not found: address does not fit"};
    }
    return {QueryResult(session->address, session->port), std::to_string(req.callee) + " at " +
                                                              session->address + ":" +
                                                              std::to_string(session->port)};
}

}  // namespace

Outcome Directory::Query(const QueryRequest& req) {
    return QueryOutcome(req, store_.FindSession(req.callee, AliveSince(NowMs())));
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
        outcomes.push_back(QueryOutcome(batch[i], i < found.size() ? found[i] : std::nullopt));
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

}  // namespace kestrona::server
