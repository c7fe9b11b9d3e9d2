// Slows password guessing and registration floods. Failed logins are counted
// per address and per number; enough of them within a window start a
// cool-down, each one twice as long as the last, during which logins are
// answered without a password check. A number's owner keeps getting in from
// the addresses it last logged in from, whatever others try on its number.
// Safe to call from several threads; all state is in this process's memory.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrona::server {

struct LimitsConfig {
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Failed logins from one address within the window that start its cool-down (0: no limit).
    int address_failures = 10;
    // Failed logins for one number, from addresses it has not logged in from,
    // within the window that start the number's cool-down (0: no limit).
    int number_failures = 10;
    std::chrono::seconds failure_window{120};
    std::chrono::seconds cooldown{300};       // the first
    std::chrono::seconds max_cooldown{3600};  // the longest, after doubling
    int registrations_per_hour = 10;          // per address (0: no limit)
    Clock clock;                              // steady_clock::now when empty
};

enum class LoginGate {
    kAllowed,
    kAddressCoolingDown,  // this address failed too often
    kNumberCoolingDown,   // this number was guessed at from elsewhere too often
};

class AbuseLimits {
  public:
    explicit AbuseLimits(LimitsConfig config);

    LoginGate CheckLogin(const std::string& address, std::int32_t number);
    void LoginFailed(const std::string& address, std::int32_t number);
    void LoginAccepted(const std::string& address, std::int32_t number);
    // Counts the registration when it is allowed.
    bool AllowRegistration(const std::string& address);

  private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Strikes {
        std::deque<TimePoint> failures;  // within the window, oldest first
        int cooldowns = 0;               // so far; sets the length of the next
        TimePoint until{};
        TimePoint last{};
    };
    struct Usual {
        std::string address;
        TimePoint last{};
    };

    TimePoint Now() const;
    bool CoolingDown(Strikes& strikes, TimePoint now) const;
    void Strike(Strikes& strikes, TimePoint now, int threshold);
    bool IsUsual(std::int32_t number, const std::string& address) const;
    void PruneLocked(TimePoint now);

    LimitsConfig config_;
    std::mutex mutex_;
    std::unordered_map<std::string, Strikes> by_address_;
    std::unordered_map<std::int32_t, Strikes> by_number_;
    std::unordered_map<std::int32_t, std::vector<Usual>> usual_;
    std::unordered_map<std::string, std::deque<TimePoint>> registrations_;
    TimePoint next_prune_{};
};

}  // namespace kestrona::server
