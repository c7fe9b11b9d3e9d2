// The relays (TURN over TCP) that phones behind a NAT nobody can dial into
// use: which ones there are, the time-limited credentials the server hands
// out for them, and the check of whether a phone can be reached at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrona::server {

// One relay listener as given on the command line: [tls:]HOST:PORT.
struct RelaySpec {
    std::string host;  // a name or dotted IPv4, sent to phones as written
    std::uint16_t port = 0;
    bool tls = false;
};

// Parses [tls:]HOST:PORT; false (with the reason in *error) when it is not one
// or the host does not fit the replies' field.
bool ParseRelaySpec(const std::string& text, RelaySpec& out, std::string* error);

struct Relay {
    RelaySpec spec;
    // Its IPv4 addresses at start: the only addresses a phone may announce
    // as relayed, so that nobody can send callers to a host of their choice.
    std::vector<std::string> addresses;
};

struct RelayConfig {
    std::vector<Relay> relays;  // empty: no relay offered
    std::string secret;         // shared with the relay; never sent anywhere
    std::chrono::seconds ttl{3600};
};

// Resolves every relay and reads the shared secret (the first line of the
// file, trimmed); throws std::runtime_error saying what is wrong.
RelayConfig LoadRelayConfig(const std::vector<RelaySpec>& specs, const std::string& secret_file,
                            std::chrono::seconds ttl);

// The IPv4 addresses of host (a name or dotted text), canonical dotted text;
// throws std::runtime_error when it has none.
std::vector<std::string> ResolveIpv4(const std::string& host);

// base64(HMAC-SHA1(key, message)).
std::string HmacSha1Base64(const std::string& key, const std::string& message);

struct RelayCredentials {
    std::string username;  // "EXPIRY:NUMBER", EXPIRY in Unix seconds
    std::string password;
};

// The relay's shared-secret scheme: it recomputes the password from the
// username and refuses it after the expiry.
RelayCredentials MakeRelayCredentials(const std::string& secret, std::int32_t number,
                                      std::int64_t now_s, std::chrono::seconds ttl);

// The relays a number is handed, by a hash of the number that every instance
// computes alike: the first, and the next one round as its fallback.
std::pair<std::size_t, std::optional<std::size_t>> ChooseRelays(std::int32_t number,
                                                                std::size_t count);

// The relay whose addresses include address, preferring the ones number is
// handed (two relay listeners may share a host); null when none does.
const Relay* RelayHolding(const RelayConfig& config, const std::string& address,
                          std::int32_t number);

// Dotted IPv4 text in canonical form, or nothing when text is not one.
std::optional<std::string> CanonicalIpv4(const std::string& text);

enum class ReachVerdict { kReachable, kUnreachable };

// Connects to address:port within connect_within, then waits for the
// phone's greeting ("ACCEPT", or "RCRESULTBUSY" from a phone in a call) no
// later than until; closes at once either way. Blocks the calling thread.
ReachVerdict ProbeReach(const std::string& address, std::uint16_t port,
                        std::chrono::milliseconds connect_within,
                        std::chrono::steady_clock::time_point until);

}  // namespace kestrona::server
