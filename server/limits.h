// Slows password guessing and registration floods. Failed logins are counted
// per address and per number; enough of them within a window start a
// cool-down, each one twice as long as the last, during which logins are
// answered without a password check. A number's owner keeps getting in from
// the addresses it last logged in from, whatever others try on its number.
//
// The counts live in the store, so that every instance on one database
// gives a guesser one allowance and a restart forgets nothing. A login is
// counted when it is let through, in the same atomic step as the check, and
// the count is taken back when the password turns out right (only that
// number's count from that address) or the check never happened; so many
// guesses at once cannot pass a limit. IPv6 addresses count per /64, which
// one subscriber line usually gets whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/store.h"

namespace kestrona::server {

struct LimitsConfig {
    // Wall-clock time: the counts are shared with other instances and
    // outlive a restart.
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    // Failed logins from one address within the window that start its cool-down (0: no limit).
    int address_failures = 10;
    // Failed logins for one number, from addresses it has not logged in from,
    // within the window that start the number's cool-down (0: no limit).
    int number_failures = 10;
    std::chrono::seconds failure_window{120};
    std::chrono::seconds cooldown{300};       // the first
    std::chrono::seconds max_cooldown{3600};  // the longest, after doubling
    int registrations_per_hour = 10;          // per address (0: no limit)
    // Reachability checks (connections out of the server) per minute.
    int reach_checks_per_number = 6;
    int reach_checks_per_address = 12;
    Clock clock;  // system_clock::now when empty
};

enum class LoginGate {
    kAllowed,
    kAddressCoolingDown,  // this address failed too often
    kNumberCoolingDown,   // this number was guessed at from elsewhere too often
    kUnavailable,         // the store could not be asked: refuse, try later
};

enum class LoginEnd { kAccepted, kWrongPassword, kNotChecked };

// The key an address is counted under: IPv4 whole, IPv6 by its /64.
std::string AddressKey(const std::string& address);

class AbuseLimits {
  public:
    AbuseLimits(LimitsConfig config, SubscriberStore& store);

    // Checks, and when allowed counts the login as a failure until EndLogin
    // says otherwise; one atomic step on the store.
    LoginGate BeginLogin(const std::string& address, std::int32_t number);
    // After a login that BeginLogin allowed.
    void EndLogin(const std::string& address, std::int32_t number, LoginEnd end);
    // Counts the registration when it is allowed.
    bool AllowRegistration(const std::string& address);

    // Counts the reachability check when neither its number nor its
    // address has had its share this minute.
    bool AllowReachCheck(const std::string& address, std::int32_t number);

    // Without counting (tests, tools).
    LoginGate CheckLogin(const std::string& address, std::int32_t number);
    // A whole failed login, or a whole successful one.
    void LoginFailed(const std::string& address, std::int32_t number);
    void LoginAccepted(const std::string& address, std::int32_t number);

  private:
    std::int64_t NowMs() const;
    LoginGate Gate(const std::string& address, std::int32_t number, bool count);

    LimitsConfig config_;
    SubscriberStore& store_;
};

// Presence look-ups per minute, by asking number and by address. Unlike
// the limits above these live in this instance's memory: a look-up writes
// nothing to the database, and behind a balancer each instance gives its
// own allowance (so a phone gets at most that many times the instances).
class PresenceLimits {
  public:
    // 0: no limit of that kind.
    PresenceLimits(int per_number, int per_address);

    // Counts one look-up from address now (milliseconds on any clock that
    // only moves forward); false when the address has had its share this
    // minute.
    bool AllowAddress(const std::string& address, std::int64_t now_ms);
    // Likewise for the asking number, once its session is known to be the
    // asker's: a stranger cannot use up another's allowance.
    bool AllowNumber(std::int32_t number, std::int64_t now_ms);

  private:
    using Times = std::deque<std::int64_t>;
    bool Allow(std::unordered_map<std::string, Times>& counts, const std::string& key, int limit,
               std::int64_t now_ms);
    // Drops keys with nothing inside the last minute, now and then.
    void Forget(std::int64_t now_ms);

    const int per_number_;
    const int per_address_;
    std::mutex mutex_;
    std::unordered_map<std::string, Times> by_number_;
    std::unordered_map<std::string, Times> by_address_;
    std::int64_t next_forget_ms_ = 0;
};

}  // namespace kestrona::server
