// The software synthesizer behind device 0: an embedded FluidSynth with a
// General MIDI SoundFont, playing through an audio driver (SMFSTREAM_DEVICE
// unset or "synth") or rendering in real time into a WAV file
// (SMFSTREAM_DEVICE=synth:FILE.wav). SMFSTREAM_SOUNDFONT names another
// SoundFont than the default one; SMFSTREAM_SYNTH_SETTINGS gives FluidSynth
// settings by their own names ("audio.driver=pulseaudio synth.gain=0.5").
//
// Every record sounds on the synthesizer's own sample clock: at its due time
// after the stream's restart plus one latency fixed at the restart, in the
// 64-frame block FluidSynth's own player would put it in.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/base/midi_device.h"
#include "platform/linux/base/volume_taper.h"

namespace platform {

constexpr const char* default_soundfont = "/usr/share/sounds/sf2/default-GM.sf2";

// The synthesizer's gain for a midiOutSetVolume word: the left volume (the
// low 16 bits) on the volume taper (mixer_lines.h), from
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

// wav_path empty: an audio driver. Returns the device, or null after one
// line on standard error saying why and what to set (*error NODRIVER).
MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error);

// The synthesizer's voices sounding now (a note's voices end when its release
// is over); -1 for a device that is not the synthesizer. For tests.
int synth_active_voices(MidiDevice* device);

}  // namespace platform
