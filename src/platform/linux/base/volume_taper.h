// The volume taper, shared by the synthesizer and the mixer.
#pragma once

#include <algorithm>

namespace platform {

// The level of a 16-bit volume (1 to 65535) in decibels below full (0 at
// 65535): equal steps of the volume are equal steps in decibels,
// volume_taper_range_db below full at 1. 0 is silence.
constexpr double volume_taper_range_db = 36.0;
inline double volume_taper_db(unsigned volume16) {
    return volume_taper_range_db * (double(std::min(volume16, 65535u)) / 65535.0 - 1.0);
}

}  // namespace platform
