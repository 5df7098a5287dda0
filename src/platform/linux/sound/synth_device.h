// The software synthesizer behind device 0: an embedded FluidSynth with a
// General MIDI SoundFont, playing through an audio driver (SMFSTREAM_DEVICE
// unset or "synth") or rendering in real time into a WAV file
// (SMFSTREAM_DEVICE=synth:FILE.wav). SMFSTREAM_SOUNDFONT names another
// SoundFont than the default one; SMFSTREAM_SYNTH_SETTINGS gives FluidSynth
// settings by their own names ("audio.driver=pulseaudio synth.gain=0.5").
//
// The device keeps its own clock: the stream hands each record over as soon
// as it has it, and the record sounds on the synthesizer's sample clock in
// the 64-frame block nearest its due time, one latency after the restart
// (synth_clock.h).
#pragma once

#include <string>

#include "platform/linux/base/midi_device.h"
#include "platform/linux/sound/synth_settings.h"

namespace platform {

constexpr const char* default_soundfont = "/usr/share/sounds/sf2/default-GM.sf2";

// wav_path empty: an audio driver. Returns the device, or null after one
// line on standard error saying why and what to set (*error NODRIVER).
MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error);

// The synthesizer's voices sounding now (a note's voices end when its release
// is over); -1 for a device that is not the synthesizer. For tests.
int synth_active_voices(MidiDevice* device);

}  // namespace platform
