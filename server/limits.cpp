#include "server/limits.h"

#include <algorithm>

namespace kestrona::server {

namespace {

// Addresses a number's owner is known by: enough for home, work and a phone.
constexpr std::size_t kUsualPerNumber = 4;
// Above this many tracked keys a map is pruned at once rather than on schedule,
// so that a flood from many addresses cannot grow memory without end.
constexpr std::size_t kMaxTracked = 1 << 18;

}  // namespace

AbuseLimits::AbuseLimits(LimitsConfig config) : config_(std::move(config)) {}

AbuseLimits::TimePoint AbuseLimits::Now() const {
    return config_.clock ? config_.clock() : std::chrono::steady_clock::now();
}

bool AbuseLimits::CoolingDown(Strikes& strikes, TimePoint now) const {
    return now < strikes.until;
}

void AbuseLimits::Strike(Strikes& strikes, TimePoint now, int threshold) {
    // A key that stayed quiet for longer than the longest cool-down starts over.
    if (strikes.last != TimePoint{} &&
        now - strikes.last > config_.max_cooldown + config_.failure_window) {
        strikes.cooldowns = 0;
    }
    strikes.last = now;
    while (!strikes.failures.empty() && now - strikes.failures.front() >= config_.failure_window) {
        strikes.failures.pop_front();
    }
    strikes.failures.push_back(now);
    if (static_cast<int>(strikes.failures.size()) < threshold) {
        return;
    }
    strikes.failures.clear();
    auto length = config_.cooldown;
    for (int i = 0; i < strikes.cooldowns && length < config_.max_cooldown; ++i) {
        length *= 2;
    }
    strikes.until = now + std::min(length, config_.max_cooldown);
    ++strikes.cooldowns;
}

bool AbuseLimits::IsUsual(std::int32_t number, const std::string& address) const {
    auto it = usual_.find(number);
    if (it == usual_.end()) {
        return false;
    }
    return std::any_of(it->second.begin(), it->second.end(),
                       [&](const Usual& u) { return u.address == address; });
}

LoginGate AbuseLimits::CheckLogin(const std::string& address, std::int32_t number) {
    std::lock_guard lock(mutex_);
    TimePoint now = Now();
    PruneLocked(now);
    if (auto it = by_address_.find(address);
        it != by_address_.end() && CoolingDown(it->second, now)) {
        return LoginGate::kAddressCoolingDown;
    }
    if (auto it = by_number_.find(number);
        it != by_number_.end() && CoolingDown(it->second, now) && !IsUsual(number, address)) {
        return LoginGate::kNumberCoolingDown;
    }
    return LoginGate::kAllowed;
}

void AbuseLimits::LoginFailed(const std::string& address, std::int32_t number) {
    std::lock_guard lock(mutex_);
    TimePoint now = Now();
    if (config_.address_failures > 0) {
        Strike(by_address_[address], now, config_.address_failures);
    }
    // The owner mistyping at home must not lock the number for everyone else.
    if (config_.number_failures > 0 && !IsUsual(number, address)) {
        Strike(by_number_[number], now, config_.number_failures);
    }
}

void AbuseLimits::LoginAccepted(const std::string& address, std::int32_t number) {
    std::lock_guard lock(mutex_);
    TimePoint now = Now();
    by_address_.erase(address);
    std::vector<Usual>& known = usual_[number];
    auto it = std::find_if(known.begin(), known.end(),
                           [&](const Usual& u) { return u.address == address; });
    if (it != known.end()) {
        it->last = now;
        return;
    }
    if (known.size() >= kUsualPerNumber) {
        known.erase(
            std::min_element(known.begin(), known.end(),
                             [](const Usual& a, const Usual& b) { return a.last < b.last; }));
    }
    known.push_back({address, now});
}

bool AbuseLimits::AllowRegistration(const std::string& address) {
    if (config_.registrations_per_hour <= 0) {
        return true;
    }
    std::lock_guard lock(mutex_);
    TimePoint now = Now();
    PruneLocked(now);
    std::deque<TimePoint>& times = registrations_[address];
    while (!times.empty() && now - times.front() >= std::chrono::hours(1)) {
        times.pop_front();
    }
    if (static_cast<int>(times.size()) >= config_.registrations_per_hour) {
        return false;
    }
    times.push_back(now);
    return true;
}

void AbuseLimits::PruneLocked(TimePoint now) {
    bool crowded = by_address_.size() > kMaxTracked || by_number_.size() > kMaxTracked ||
                   registrations_.size() > kMaxTracked;
    if (now < next_prune_ && !crowded) {
        return;
    }
    next_prune_ = now + config_.failure_window;
    auto forgotten = [&](const Strikes& s) {
        return now >= s.until && now - s.last > config_.max_cooldown + config_.failure_window;
    };
    auto idle = [&](const Strikes& s) {
        return now >= s.until &&
               (s.failures.empty() || now - s.failures.back() >= config_.failure_window);
    };
    std::erase_if(by_address_, [&](const auto& e) { return forgotten(e.second); });
    std::erase_if(by_number_, [&](const auto& e) { return forgotten(e.second); });
    // Still crowded: give up the memory of past cool-downs, never a running one.
    if (by_address_.size() > kMaxTracked) {
        std::erase_if(by_address_, [&](const auto& e) { return idle(e.second); });
    }
    if (by_number_.size() > kMaxTracked) {
        std::erase_if(by_number_, [&](const auto& e) { return idle(e.second); });
    }
    std::erase_if(registrations_, [&](const auto& e) {
        return e.second.empty() || now - e.second.back() >= std::chrono::hours(1);
    });
    if (usual_.size() > kMaxTracked) {
        usual_.clear();
    }
}

}  // namespace kestrona::server
