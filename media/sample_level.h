// Levels on the audio paths, in percent of the samples' amplitude. 100
// leaves the samples as they are; louder ones saturate rather than wrap.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kestrona {

inline constexpr int kMaxLevelPercent = 200;
inline constexpr int kUnchangedLevel = 100;

inline int ClampLevel(int percent) {
    return std::clamp(percent, 0, kMaxLevelPercent);
}

inline void ApplyLevel(int16_t* samples, int count, int percent) {
    if (percent == kUnchangedLevel)
        return;
    for (int i = 0; i < count; ++i) {
        const int32_t scaled = int32_t(samples[i]) * percent / 100;
        samples[i] = int16_t(std::clamp<int32_t>(scaled, INT16_MIN, INT16_MAX));
    }
}

}  // namespace kestrona
