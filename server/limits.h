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
#include <functional>
#include <string>

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

}  // namespace kestrona::server
