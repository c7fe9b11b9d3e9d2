#include "server/metrics.h"

#include <cstdio>
#include <string_view>

#include "server/records.h"

namespace kestrona::server {

namespace r = records;

namespace {

constexpr std::array<std::string_view, kExchangeResults> kResultNames{
    "accepted",  "refused", "wrong_password", "registered", "email_taken", "found",   "not_found",
    "timed_out", "success", "fail",           "error",      "throttled",   "no_reply"};
constexpr std::array<std::string_view, kThrottles> kThrottleNames{"login_address", "login_number",
                                                                  "registration"};
constexpr std::array<std::string_view, kRefusals> kRefusalNames{
    "too_many_connections", "proxy_header_untrusted", "proxy_header_missing",
    "proxy_header_invalid", "tls_handshake_failed"};
constexpr std::array<std::string_view, kTransports> kTransportNames{"plain", "tls"};
constexpr std::array<Command, 13> kCommandOrder{
    Command::kLogin,       Command::kRegister,  Command::kQuery,      Command::kLive,
    Command::kLogout,      Command::kReport,    Command::kChangePort, Command::kRelayCreds,
    Command::kReachCheck,  Command::kRelayAddr, Command::kQueryPeer,  Command::kQueryPresence,
    Command::kPresenceMode};
constexpr std::array<std::string_view, 3> kPresenceOutcomeNames{"answered", "refused", "throttled"};
constexpr std::array<std::string_view, 5> kVerdictNames{"reachable", "unreachable", "refused",
                                                        "too_many", "bad_port"};

bool Begins(const Bytes& reply, std::string_view word) {
    return reply.size() >= word.size() &&
           std::string_view(reinterpret_cast<const char*>(reply.data()), word.size()) == word;
}

std::string_view CommandLabel(std::size_t index) {
    return index < kCommandOrder.size() ? CommandName(kCommandOrder[index]) : "invalid";
}

std::size_t CommandIndex(std::optional<Command> command) {
    if (!command) {
        return kCommandOrder.size();
    }
    for (std::size_t i = 0; i < kCommandOrder.size(); ++i) {
        if (kCommandOrder[i] == *command) {
            return i;
        }
    }
    return kCommandOrder.size();
}

void Line(std::string& out, std::string_view name, std::string_view labels, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", value);
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += number;
    out += '\n';
}

void Header(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

std::string Label(std::string_view key, std::string_view value) {
    return std::string(key) + "=\"" + std::string(value) + "\"";
}

}  // namespace

ExchangeResult ResultOfReply(const Bytes& reply) {
    if (reply.empty()) {
        return ExchangeResult::kNoReply;
    }
    if (Begins(reply, r::login_result::kWord) && reply.size() >= r::login_result::kResult + 4) {
        switch (r::GetInt(reply.data(), r::login_result::kResult)) {
            case r::login_result::kAccepted:
                return ExchangeResult::kAccepted;
            case r::login_result::kWrongPassword:
                return ExchangeResult::kWrongPassword;
            default:
                return ExchangeResult::kRefused;
        }
    }
    // The longer words first: each shorter one is a prefix of its sibling.
    if (Begins(reply, r::register_fail_email::kWord)) {
        return ExchangeResult::kEmailTaken;
    }
    if (Begins(reply, r::register_success::kWord)) {
        return ExchangeResult::kRegistered;
    }
    if (Begins(reply, r::query_not_found::kWord)) {
        return ExchangeResult::kNotFound;
    }
    if (Begins(reply, r::query_result::kWord)) {
        return ExchangeResult::kFound;
    }
    if (Begins(reply, r::query_peer_result::kWord)) {
        return ExchangeResult::kFound;
    }
    if (Begins(reply, r::relay_creds_result::kWord) &&
        reply.size() >= r::relay_creds_result::kResult + 4) {
        return r::GetInt(reply.data(), r::relay_creds_result::kResult) ==
                       r::relay_creds_result::kIssued
                   ? ExchangeResult::kSuccess
                   : ExchangeResult::kFail;
    }
    if (Begins(reply, r::reach_result::kWord)) {
        // Answered; the verdicts are counted on their own.
        return ExchangeResult::kSuccess;
    }
    if (Begins(reply, r::presence_result::kWord) &&
        reply.size() >= r::presence_result::kResult + 4) {
        switch (r::GetInt(reply.data(), r::presence_result::kResult)) {
            case r::presence_result::kAnswered:
                return ExchangeResult::kSuccess;
            case r::presence_result::kTooMany:
                return ExchangeResult::kThrottled;
            default:
                return ExchangeResult::kFail;
        }
    }
    if (Begins(reply, r::kAlreadyTimeout)) {
        return ExchangeResult::kTimedOut;
    }
    if (Begins(reply, r::kCommandSuccess)) {
        return ExchangeResult::kSuccess;
    }
    if (Begins(reply, r::kCommandFail)) {
        return ExchangeResult::kFail;
    }
    return ExchangeResult::kError;
}

void Metrics::Exchange(std::optional<Command> command, ExchangeResult result,
                       std::chrono::steady_clock::duration took) {
    std::size_t c = CommandIndex(command);
    exchanges_[c][static_cast<std::size_t>(result)].fetch_add(1, std::memory_order_relaxed);
    Histogram& h = latency_[c];
    double seconds = std::chrono::duration<double>(took).count();
    for (std::size_t b = 0; b < kBuckets.size(); ++b) {
        if (seconds <= kBuckets[b]) {
            h.buckets[b].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    h.sum_us.fetch_add(static_cast<std::uint64_t>(
                           std::chrono::duration_cast<std::chrono::microseconds>(took).count()),
                       std::memory_order_relaxed);
    h.count.fetch_add(1, std::memory_order_relaxed);
}

std::string Metrics::Text() const {
    std::string out;
    Header(out, "kestrona_exchanges_total", "counter",
           "Exchanges answered, by request and by how they ended.");
    for (std::size_t c = 0; c < kCommands; ++c) {
        for (std::size_t res = 0; res < kExchangeResults; ++res) {
            std::uint64_t n = exchanges_[c][res].load(std::memory_order_relaxed);
            if (n != 0) {
                Line(out, "kestrona_exchanges_total",
                     Label("command", CommandLabel(c)) + "," + Label("result", kResultNames[res]),
                     static_cast<double>(n));
            }
        }
    }
    Header(out, "kestrona_transport_exchanges_total", "counter",
           "Exchanges answered, by the listener that carried them.");
    for (std::size_t t = 0; t < kTransports; ++t) {
        Line(out, "kestrona_transport_exchanges_total", Label("transport", kTransportNames[t]),
             static_cast<double>(carried_[t].load(std::memory_order_relaxed)));
    }
    Header(out, "kestrona_exchange_duration_seconds", "histogram",
           "Time from a whole request to its reply, by request.");
    for (std::size_t c = 0; c < kCommands; ++c) {
        const Histogram& h = latency_[c];
        std::uint64_t count = h.count.load(std::memory_order_relaxed);
        if (count == 0) {
            continue;
        }
        std::string command = Label("command", CommandLabel(c));
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b < kBuckets.size(); ++b) {
            cumulative += h.buckets[b].load(std::memory_order_relaxed);
            char le[32];
            std::snprintf(le, sizeof le, "%g", kBuckets[b]);
            Line(out, "kestrona_exchange_duration_seconds_bucket", command + "," + Label("le", le),
                 static_cast<double>(cumulative));
        }
        // Read after the buckets, so +Inf is never below the last bucket.
        cumulative = std::max(cumulative, count);
        Line(out, "kestrona_exchange_duration_seconds_bucket", command + "," + Label("le", "+Inf"),
             static_cast<double>(cumulative));
        Line(out, "kestrona_exchange_duration_seconds_sum", command,
             static_cast<double>(h.sum_us.load(std::memory_order_relaxed)) / 1e6);
        Line(out, "kestrona_exchange_duration_seconds_count", command,
             static_cast<double>(cumulative));
    }
    Header(out, "kestrona_throttled_total", "counter",
           "Requests answered without being served because of an abuse limit.");
    for (std::size_t t = 0; t < kThrottles; ++t) {
        Line(out, "kestrona_throttled_total", Label("limit", kThrottleNames[t]),
             static_cast<double>(throttled_[t].load(std::memory_order_relaxed)));
    }
    Header(out, "kestrona_refused_connections_total", "counter",
           "Connections closed before any request was read.");
    for (std::size_t f = 0; f < kRefusals; ++f) {
        Line(out, "kestrona_refused_connections_total", Label("reason", kRefusalNames[f]),
             static_cast<double>(refused_[f].load(std::memory_order_relaxed)));
    }
    if (relay) {
        Header(out, "kestrona_relay_credentials_issued_total", "counter",
               "Relay credentials handed to phones.");
        Line(out, "kestrona_relay_credentials_issued_total", {},
             static_cast<double>(relay->credentials_issued.load(std::memory_order_relaxed)));
        Header(out, "kestrona_reach_checks_total", "counter",
               "Reachability checks answered, by verdict.");
        for (std::size_t v = 0; v < kVerdictNames.size(); ++v) {
            Line(out, "kestrona_reach_checks_total", Label("verdict", kVerdictNames[v]),
                 static_cast<double>(relay->reach_verdicts[v].load(std::memory_order_relaxed)));
        }
        Header(out, "kestrona_relayed_addresses_total", "counter",
               "Relayed addresses stored for sessions, and withdrawn by their phones.");
        Line(out, "kestrona_relayed_addresses_total", Label("change", "registered"),
             static_cast<double>(relay->registered.load(std::memory_order_relaxed)));
        Line(out, "kestrona_relayed_addresses_total", Label("change", "withdrawn"),
             static_cast<double>(relay->withdrawn.load(std::memory_order_relaxed)));
    }
    if (presence) {
        Header(out, "kestrona_presence_lookups_total", "counter", "Presence look-ups, by outcome.");
        for (std::size_t o = 0; o < kPresenceOutcomeNames.size(); ++o) {
            Line(out, "kestrona_presence_lookups_total", Label("outcome", kPresenceOutcomeNames[o]),
                 static_cast<double>(presence->lookups[o].load(std::memory_order_relaxed)));
        }
        Header(out, "kestrona_presence_numbers_total", "counter",
               "Numbers asked about in answered presence look-ups.");
        Line(out, "kestrona_presence_numbers_total", {},
             static_cast<double>(presence->numbers.load(std::memory_order_relaxed)));
        Header(out, "kestrona_presence_modes_total", "counter",
               "Presence modes set by phones for their sessions.");
        Line(out, "kestrona_presence_modes_total", Label("mode", "shown"),
             static_cast<double>(presence->modes[0].load(std::memory_order_relaxed)));
        Line(out, "kestrona_presence_modes_total", Label("mode", "hidden"),
             static_cast<double>(presence->modes[1].load(std::memory_order_relaxed)));
    }
    if (database) {
        Header(out, "kestrona_database_reconnects_total", "counter",
               "Database connections opened again after one broke or met a read-only server.");
        Line(out, "kestrona_database_reconnects_total", {},
             static_cast<double>(database->reconnects.load(std::memory_order_relaxed)));
        Header(out, "kestrona_database_failovers_total", "counter",
               "Reconnections that reached another database server than before.");
        Line(out, "kestrona_database_failovers_total", {},
             static_cast<double>(database->failovers.load(std::memory_order_relaxed)));
        Header(out, "kestrona_database_refused_total", "counter",
               "Store calls refused because no database connection was ready in time.");
        Line(out, "kestrona_database_refused_total", {},
             static_cast<double>(database->refused.load(std::memory_order_relaxed)));
    }
    auto gauge = [&](std::string_view name, std::string_view help,
                     const std::function<std::int64_t()>& read) {
        if (read) {
            Header(out, name, "gauge", help);
            Line(out, name, {}, static_cast<double>(read()));
        }
    };
    gauge("kestrona_sessions_online", "Logged-in phones whose session has not timed out.",
          sessions_online);
    gauge("kestrona_password_checks_waiting",
          "Logins and registrations waiting for or running a password hash.",
          password_checks_waiting);
    gauge("kestrona_connections_open", "Connections open now.", connections_open);
    return out;
}

}  // namespace kestrona::server
