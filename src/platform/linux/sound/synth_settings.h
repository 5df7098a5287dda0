// The synthesizer's FluidSynth settings: SMFSTREAM_SYNTH_SETTINGS by
// FluidSynth's own names ("audio.driver=pulseaudio synth.gain=0.5"), the
// options a build has, and the gain of a volume.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/base/volume_taper.h"
#include "platform/linux/base/win_types.h"

namespace platform {

// The synthesizer's gain for a midiOutSetVolume word: the left volume (the
// low 16 bits) on the volume taper (volume_taper.h), from
// synth_volume_range_db below full at 1 to synth_full_gain at 0xFFFF; 0 is
// silence. The player's starting volume, 127 (0x7F7F), gives 0.1.
constexpr float synth_full_gain = 0.8f;
constexpr double synth_volume_range_db = volume_taper_range_db;
float synth_gain(DWORD volume);

// Applies SMFSTREAM_SYNTH_SETTINGS-style text ("name=value name=value") to
// FluidSynth settings (a fluid_settings_t*). A name FluidSynth does not know
// or a value it refuses gets one line on standard error naming it and is left
// out. Returns the names that were set.
std::vector<std::string> apply_synth_settings(void* settings, const char* text);

// Whether a string setting (a fluid_settings_t*'s name) lists value among
// its options: an audio driver this FluidSynth has.
bool synth_has_option(void* settings, const char* name, const char* value);

}  // namespace platform
