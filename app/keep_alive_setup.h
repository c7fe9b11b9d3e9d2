// The keep-alive worker as the application starts it: the directory server
// and proxy it reaches, the number it keeps alive, its period and the
// relaunch when the server has timed the session out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/keep_alive.h"
#include "settings/settings_model.h"

namespace kestrona {

// The directory server and proxy of a store section as the blocking
// exchanges reach them (the keep-alive's and the presence look-ups').
ServerTarget StoreServerTarget(const std::string& storeSection, const SettingsModel& settings);

// Started already. The server's host and port are read from the store
// section at each round, so a change made meanwhile is followed.
std::unique_ptr<CKeepAlive> StartKeepAlive(const std::string& storeSection,
                                           const SettingsModel& settings, int32_t number,
                                           int periodSeconds);

}  // namespace kestrona
