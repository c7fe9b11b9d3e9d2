#include "server/store.h"

namespace kestrona::server {

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
