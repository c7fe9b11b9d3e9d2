// The devices a PulseAudio server offers in one direction, the default one
// first; empty while no server answers.
#pragma once

#include <vector>

#include "platform/audio_backend.h"
#include "platform/pulse_link.h"

namespace kestrona::pulse {

std::vector<AudioDeviceInfo> ListDevices(PulseLink& link, AudioDirection direction);

}  // namespace kestrona::pulse
