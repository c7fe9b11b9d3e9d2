#include "server/directory.h"

#include <string_view>

#include "server/records.h"

namespace kestrona::server {

namespace r = records;

namespace {

bool ValidPort(std::int32_t port) {
    return port > 0 && port <= 65535;
}

}  // namespace

Directory::Directory(SubscriberStore& store, const PasswordHasher& hasher, DirectoryConfig config)
    : store_(store), hasher_(hasher), config_(std::move(config)) {}

std::chrono::steady_clock::time_point Directory::Now() const {
    return config_.clock ? config_.clock() : std::chrono::steady_clock::now();
}

bool Directory::Alive(const Session& session, std::chrono::steady_clock::time_point now) const {
    return now - session.last_seen < config_.session_timeout;
}

void Directory::SweepLocked(std::chrono::steady_clock::time_point now) {
    if (now < next_sweep_) {
        return;
    }
    std::erase_if(sessions_, [&](const auto& entry) { return !Alive(entry.second, now); });
    next_sweep_ = now + config_.session_timeout;
}

std::size_t Directory::SessionCount() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
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
    if (!verified_.Matches(req.number, req.password)) {
        std::optional<std::string> hash = store_.PasswordHash(req.number);
        // An unknown number answers like a wrong password, so that numbers
        // cannot be probed.
        if (!hash) {
            return refuse(r::login_result::kWrongPassword, "wrong password: unknown number");
        }
        if (!hasher_.Verify(*hash, req.password)) {
            return refuse(r::login_result::kWrongPassword, "wrong password");
        }
        verified_.Remember(req.number, req.password);
    }
    {
        std::lock_guard lock(mutex_);
        auto now = Now();
        SweepLocked(now);
        sessions_[req.number] = Session{peer, req.port, now};
    }
    return {LoginResult(r::login_result::kAccepted, config_.live_period_s, config_.welcome,
                        config_.notice),
            "accepted, port " + std::to_string(req.port)};
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
            verified_.Remember(added.number, req.password);
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

Outcome Directory::Query(const QueryRequest& req) {
    std::lock_guard lock(mutex_);
    auto now = Now();
    auto it = sessions_.find(req.callee);
    if (it == sessions_.end() || !Alive(it->second, now)) {
        return {QueryNotFound(), "not found " + std::to_string(req.callee)};
    }
    if (it->second.address.size() >= r::query_result::kAddressField) {
        // An address that does not fit the field (IPv6) cannot be given out whole.
        return {QueryNotFound(), "not found: address does not fit"};
    }
    return {QueryResult(it->second.address, it->second.port), std::to_string(req.callee) + " at " +
                                                                  it->second.address + ":" +
                                                                  std::to_string(it->second.port)};
}

Outcome Directory::Live(const LiveRequest& req, const std::string& peer) {
    std::lock_guard lock(mutex_);
    auto now = Now();
    SweepLocked(now);
    auto it = sessions_.find(req.number);
    if (it == sessions_.end() || !Alive(it->second, now)) {
        if (it != sessions_.end()) {
            sessions_.erase(it);
        }
        return {PlainReply(r::kAlreadyTimeout), "timed out"};
    }
    if (it->second.address != peer) {
        // Someone else's session: the sender has none of its own here. The
        // owner's session is left as it is.
        return {PlainReply(r::kAlreadyTimeout), "timed out: session belongs to another address"};
    }
    it->second.last_seen = now;
    return {PlainReply(r::kCommandSuccess), "refreshed"};
}

Outcome Directory::Logout(const LogoutRequest& req, const std::string& peer) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(req.number);
    if (it == sessions_.end()) {
        return {PlainReply(r::kCommandFail), "no session"};
    }
    if (it->second.address != peer) {
        return {PlainReply(r::kCommandFail), "refused: session belongs to another address"};
    }
    sessions_.erase(it);
    return {PlainReply(r::kCommandSuccess), "logged out"};
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
    std::lock_guard lock(mutex_);
    auto now = Now();
    auto it = sessions_.find(req.number);
    if (it == sessions_.end() || !Alive(it->second, now)) {
        return {PlainReply(r::kCommandFail), "no session"};
    }
    if (it->second.address != peer) {
        return {PlainReply(r::kCommandFail), "refused: session belongs to another address"};
    }
    it->second.port = req.port;
    return {PlainReply(r::kCommandSuccess), "port " + std::to_string(req.port)};
}

}  // namespace kestrona::server
