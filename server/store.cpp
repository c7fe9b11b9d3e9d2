#include "server/store.h"

namespace kestrona::server {

std::vector<SessionStatus> SubscriberStore::TouchSessions(const std::vector<Touch>& touches,
                                                          std::int64_t now_ms,
                                                          std::int64_t alive_since_ms) {
    std::vector<SessionStatus> statuses;
    statuses.reserve(touches.size());
    for (const Touch& t : touches) {
        statuses.push_back(TouchSession(t.number, t.address, now_ms, alive_since_ms));
    }
    return statuses;
}

std::vector<std::optional<SessionRow>> SubscriberStore::FindSessions(
    const std::vector<std::int32_t>& numbers, std::int64_t alive_since_ms) {
    std::vector<std::optional<SessionRow>> rows;
    rows.reserve(numbers.size());
    for (std::int32_t n : numbers) {
        rows.push_back(FindSession(n, alive_since_ms));
    }
    return rows;
}

bool SubscriberStore::UpdateLimits(const std::vector<std::string>& keys, std::int64_t now_ms,
                                   const std::function<void(std::vector<LimitEntry>&)>& change) {
    std::lock_guard lock(limits_mutex_);
    std::vector<LimitEntry> entries;
    for (const std::string& key : keys) {
        auto it = limits_.find(key);
        entries.push_back(it == limits_.end() || it->second.expires_ms < now_ms ? LimitEntry{}
                                                                                : it->second);
        entries.back().changed = false;
    }
    change(entries);
    for (std::size_t i = 0; i < keys.size() && i < entries.size(); ++i) {
        if (!entries[i].changed) {
            continue;
        }
        if (entries[i].value.empty()) {
            limits_.erase(keys[i]);
        } else {
            limits_[keys[i]] = entries[i];
        }
    }
    return true;
}

}  // namespace kestrona::server
