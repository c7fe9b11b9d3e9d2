#include "server/limits.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <sstream>
#include <vector>

namespace kestrona::server {

namespace {

// Addresses a number's owner is known by: enough for home, work and a phone.
constexpr std::size_t kUsualPerNumber = 4;
// An owner address unused for this long is forgotten.
constexpr std::int64_t kUsualForMs = 90LL * 24 * 3600 * 1000;
constexpr std::int64_t kHourMs = 3600LL * 1000;
constexpr std::int64_t kMinuteMs = 60LL * 1000;

// Failures against one key (an address or a number): who failed when, and
// the cool-downs so far. Stored as "cooldowns until last|who at|who at…";
// who is the number (for an address) or the address key (for a number).
struct Strikes {
    int cooldowns = 0;
    std::int64_t until = 0;
    std::int64_t last = 0;
    std::vector<std::pair<std::string, std::int64_t>> failures;
};

std::int64_t ToInt(std::string_view text) {
    std::int64_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

std::vector<std::string_view> Split(std::string_view text, char by) {
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        std::size_t at = text.find(by);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            break;
        }
        text.remove_prefix(at + 1);
    }
    return parts;
}

Strikes ParseStrikes(const std::string& text) {
    Strikes s;
    std::vector<std::string_view> parts = Split(text, '|');
    if (parts.empty()) {
        return s;
    }
    std::vector<std::string_view> head = Split(parts[0], ' ');
    if (head.size() == 3) {
        s.cooldowns = static_cast<int>(ToInt(head[0]));
        s.until = ToInt(head[1]);
        s.last = ToInt(head[2]);
    }
    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::vector<std::string_view> f = Split(parts[i], ' ');
        if (f.size() == 2) {
            s.failures.emplace_back(std::string(f[0]), ToInt(f[1]));
        }
    }
    return s;
}

std::string Format(const Strikes& s) {
    if (s.cooldowns == 0 && s.failures.empty() && s.until == 0) {
        return {};
    }
    std::string out =
        std::to_string(s.cooldowns) + ' ' + std::to_string(s.until) + ' ' + std::to_string(s.last);
    for (const auto& [who, at] : s.failures) {
        out += '|' + who + ' ' + std::to_string(at);
    }
    return out;
}

// Owner addresses: "address last|address last…".
using Usual = std::vector<std::pair<std::string, std::int64_t>>;

Usual ParseUsual(const std::string& text) {
    Usual u;
    for (std::string_view part : Split(text, '|')) {
        std::vector<std::string_view> f = Split(part, ' ');
        if (f.size() == 2) {
            u.emplace_back(std::string(f[0]), ToInt(f[1]));
        }
    }
    return u;
}

std::string Format(const Usual& u) {
    std::string out;
    for (const auto& [address, last] : u) {
        out += (out.empty() ? "" : "|") + address + ' ' + std::to_string(last);
    }
    return out;
}

bool IsUsual(const Usual& u, const std::string& address) {
    return std::any_of(u.begin(), u.end(), [&](const auto& e) { return e.first == address; });
}

}  // namespace

std::string AddressKey(const std::string& address) {
    in6_addr v6{};
    if (address.find(':') != std::string::npos &&
        ::inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        std::fill(v6.s6_addr + 8, v6.s6_addr + 16, 0);
        char text[INET6_ADDRSTRLEN];
        ::inet_ntop(AF_INET6, &v6, text, sizeof text);
        return std::string(text) + "/64";
    }
    return address;
}

AbuseLimits::AbuseLimits(LimitsConfig config, SubscriberStore& store)
    : config_(std::move(config)), store_(store) {}

std::int64_t AbuseLimits::NowMs() const {
    auto now = config_.clock ? config_.clock() : std::chrono::system_clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
}

LoginGate AbuseLimits::Gate(const std::string& address, std::int32_t number, bool count) {
    const std::string who = AddressKey(address);
    const std::int64_t now = NowMs();
    const std::int64_t window = config_.failure_window.count() * 1000;
    const std::int64_t keep =
        (config_.max_cooldown.count() + config_.failure_window.count()) * 1000;
    LoginGate gate = LoginGate::kAllowed;
    auto in_window = [&](Strikes& s) {
        std::erase_if(s.failures, [&](const auto& f) { return now - f.second >= window; });
        return static_cast<int>(s.failures.size());
    };
    bool ok = store_.UpdateLimits(
        {"a:" + who, "n:" + std::to_string(number), "o:" + std::to_string(number)}, now,
        [&](std::vector<LimitEntry>& e) {
            Strikes by_address = ParseStrikes(e[0].value);
            Strikes by_number = ParseStrikes(e[1].value);
            bool usual = IsUsual(ParseUsual(e[2].value), who);
            // A full window counts as cooling down too: the failures in it may
            // still be checks under way, whose outcome decides.
            if (now < by_address.until || (config_.address_failures > 0 &&
                                           in_window(by_address) >= config_.address_failures)) {
                gate = LoginGate::kAddressCoolingDown;
            } else if (!usual && (now < by_number.until ||
                                  (config_.number_failures > 0 &&
                                   in_window(by_number) >= config_.number_failures))) {
                gate = LoginGate::kNumberCoolingDown;
            }
            if (gate != LoginGate::kAllowed || !count) {
                return;
            }
            if (config_.address_failures > 0) {
                by_address.failures.emplace_back(std::to_string(number), now);
                by_address.last = now;
                e[0] = {Format(by_address), now + keep, true};
            }
            if (config_.number_failures > 0 && !usual) {
                by_number.failures.emplace_back(who, now);
                by_number.last = now;
                e[1] = {Format(by_number), now + keep, true};
            }
        });
    return ok ? gate : LoginGate::kUnavailable;
}

LoginGate AbuseLimits::BeginLogin(const std::string& address, std::int32_t number) {
    return Gate(address, number, true);
}

LoginGate AbuseLimits::CheckLogin(const std::string& address, std::int32_t number) {
    return Gate(address, number, false);
}

void AbuseLimits::EndLogin(const std::string& address, std::int32_t number, LoginEnd end) {
    const std::string who = AddressKey(address);
    const std::string me = std::to_string(number);
    const std::int64_t now = NowMs();
    const std::int64_t window = config_.failure_window.count() * 1000;
    const std::int64_t keep =
        (config_.max_cooldown.count() + config_.failure_window.count()) * 1000;
    // A wrong password leaves the failures counted at the start; a full
    // window then starts the key's cool-down.
    auto cool = [&](Strikes& s, int threshold) {
        std::erase_if(s.failures, [&](const auto& f) { return now - f.second >= window; });
        if (threshold <= 0 || static_cast<int>(s.failures.size()) < threshold) {
            return;
        }
        // A key that stayed quiet for longer than the longest cool-down
        // starts over.
        if (s.until != 0 && now - s.until > keep) {
            s.cooldowns = 0;
        }
        s.failures.clear();
        auto length = config_.cooldown;
        for (int i = 0; i < s.cooldowns && length < config_.max_cooldown; ++i) {
            length *= 2;
        }
        s.until = now + std::min(length, config_.max_cooldown).count() * 1000;
        ++s.cooldowns;
    };
    // Takes back the one failure counted for this login.
    auto take_back = [](Strikes& s, const std::string& failed_by) {
        for (auto it = s.failures.rbegin(); it != s.failures.rend(); ++it) {
            if (it->first == failed_by) {
                s.failures.erase(std::next(it).base());
                return;
            }
        }
    };
    store_.UpdateLimits({"a:" + who, "n:" + me, "o:" + me}, now, [&](std::vector<LimitEntry>& e) {
        Strikes by_address = ParseStrikes(e[0].value);
        Strikes by_number = ParseStrikes(e[1].value);
        Usual usual = ParseUsual(e[2].value);
        switch (end) {
            case LoginEnd::kWrongPassword:
                cool(by_address, config_.address_failures);
                cool(by_number, config_.number_failures);
                break;
            case LoginEnd::kNotChecked:
                take_back(by_address, me);
                take_back(by_number, who);
                break;
            case LoginEnd::kAccepted: {
                // Only this number's failures from this address go: the
                // right password for one's own number says nothing about
                // guesses at others.
                std::erase_if(by_address.failures, [&](const auto& f) { return f.first == me; });
                std::erase_if(by_number.failures, [&](const auto& f) { return f.first == who; });
                std::erase_if(usual, [&](const auto& u) {
                    return u.first == who || now - u.second > kUsualForMs;
                });
                if (usual.size() >= kUsualPerNumber) {
                    usual.erase(std::min_element(
                        usual.begin(), usual.end(),
                        [](const auto& a, const auto& b) { return a.second < b.second; }));
                }
                usual.emplace_back(who, now);
                e[2] = {Format(usual), now + kUsualForMs, true};
                break;
            }
        }
        std::int64_t until = now + keep;
        e[0] = {Format(by_address), std::max(until, by_address.until + keep), true};
        e[1] = {Format(by_number), std::max(until, by_number.until + keep), true};
    });
}

void AbuseLimits::LoginFailed(const std::string& address, std::int32_t number) {
    // Counted even while cooling down, as a check that went ahead would be.
    if (BeginLogin(address, number) == LoginGate::kAllowed) {
        EndLogin(address, number, LoginEnd::kWrongPassword);
    }
}

void AbuseLimits::LoginAccepted(const std::string& address, std::int32_t number) {
    EndLogin(address, number, LoginEnd::kAccepted);
}

bool AbuseLimits::AllowReachCheck(const std::string& address, std::int32_t number) {
    const std::int64_t now = NowMs();
    bool allowed = true;
    bool ok = store_.UpdateLimits(
        {"cn:" + std::to_string(number), "ca:" + AddressKey(address)}, now,
        [&](std::vector<LimitEntry>& e) {
            const int limits[] = {config_.reach_checks_per_number,
                                  config_.reach_checks_per_address};
            std::vector<std::int64_t> times[2];
            for (int k = 0; k < 2; ++k) {
                for (std::string_view t : Split(e[k].value, ' ')) {
                    if (now - ToInt(t) < kMinuteMs) {
                        times[k].push_back(ToInt(t));
                    }
                }
                if (limits[k] > 0 && static_cast<int>(times[k].size()) >= limits[k]) {
                    allowed = false;
                }
            }
            if (!allowed) {
                return;
            }
            for (int k = 0; k < 2; ++k) {
                if (limits[k] <= 0) {
                    continue;
                }
                times[k].push_back(now);
                std::string text;
                for (std::int64_t t : times[k]) {
                    text += (text.empty() ? "" : " ") + std::to_string(t);
                }
                e[k] = {text, now + kMinuteMs, true};
            }
        });
    return ok && allowed;
}

bool AbuseLimits::AllowRegistration(const std::string& address) {
    if (config_.registrations_per_hour <= 0) {
        return true;
    }
    const std::int64_t now = NowMs();
    bool allowed = false;
    bool ok =
        store_.UpdateLimits({"r:" + AddressKey(address)}, now, [&](std::vector<LimitEntry>& e) {
            std::vector<std::int64_t> times;
            for (std::string_view t : Split(e[0].value, ' ')) {
                if (now - ToInt(t) < kHourMs) {
                    times.push_back(ToInt(t));
                }
            }
            allowed = static_cast<int>(times.size()) < config_.registrations_per_hour;
            if (allowed) {
                times.push_back(now);
            }
            std::string text;
            for (std::int64_t t : times) {
                text += (text.empty() ? "" : " ") + std::to_string(t);
            }
            e[0] = {text, now + kHourMs, true};
        });
    return ok && allowed;
}

PresenceLimits::PresenceLimits(int per_number, int per_address)
    : per_number_(per_number), per_address_(per_address) {}

bool PresenceLimits::AllowAddress(const std::string& address, std::int64_t now_ms) {
    std::lock_guard lock(mutex_);
    Forget(now_ms);
    return Allow(by_address_, AddressKey(address), per_address_, now_ms);
}

bool PresenceLimits::AllowNumber(std::int32_t number, std::int64_t now_ms) {
    std::lock_guard lock(mutex_);
    return Allow(by_number_, std::to_string(number), per_number_, now_ms);
}

bool PresenceLimits::Allow(std::unordered_map<std::string, Times>& counts, const std::string& key,
                           int limit, std::int64_t now_ms) {
    if (limit <= 0) {
        return true;
    }
    Times& times = counts[key];
    while (!times.empty() && now_ms - times.front() >= kMinuteMs) {
        times.pop_front();
    }
    if (static_cast<int>(times.size()) >= limit) {
        return false;
    }
    times.push_back(now_ms);
    return true;
}

void PresenceLimits::Forget(std::int64_t now_ms) {
    if (now_ms < next_forget_ms_) {
        return;
    }
    next_forget_ms_ = now_ms + kMinuteMs;
    for (auto* counts : {&by_number_, &by_address_}) {
        std::erase_if(*counts, [&](const auto& entry) {
            return entry.second.empty() || now_ms - entry.second.back() >= kMinuteMs;
        });
    }
}

}  // namespace kestrona::server
