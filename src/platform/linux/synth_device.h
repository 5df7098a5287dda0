// The software synthesizer behind device 0: an embedded FluidSynth with a
// General MIDI SoundFont, playing through FluidSynth's default audio driver
// (SMFSTREAM_DEVICE unset or "synth") or rendering in real time into a WAV
// file (SMFSTREAM_DEVICE=synth:FILE.wav). SMFSTREAM_SOUNDFONT names another
// SoundFont than the default one.
#pragma once

#include <string>

#include "platform/linux/midi_device.h"

namespace platform {

constexpr const char* default_soundfont = "/usr/share/sounds/sf2/default-GM.sf2";

// The synthesizer's gain for a midiOutSetVolume word: linear in the left
// volume (the low 16 bits), from 0 (silence) to synth_full_gain at 0xFFFF.
// The player's starting volume, 127 (0x7F7F), gives about FluidSynth's own
// default gain (0.2); full volume is twice that (+6 dB).
constexpr float synth_full_gain = 0.4f;
float synth_gain(DWORD volume);

// wav_path empty: the audio driver. Returns the device, or null after one
// line on standard error saying why and what to set (*error NODRIVER).
MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error);

}  // namespace platform
