// The software synthesizer behind device 0: an embedded FluidSynth with a
// General MIDI SoundFont, playing through an audio driver (SMFSTREAM_DEVICE
// unset or "synth") or rendering into a WAV file
// (SMFSTREAM_DEVICE=synth:FILE.wav). SMFSTREAM_SOUNDFONT names another
// SoundFont than the default one; SMFSTREAM_SYNTH_SETTINGS gives FluidSynth
// settings by their own names ("audio.driver=pulseaudio synth.gain=0.5").
//
// The device keeps its own clock: it renders FluidSynth itself, 64-frame
// block by block, counting the frames in 64 bits, and applies before each
// block what is due in it. The stream hands each record over as soon as it
// has it, and the record sounds in the block nearest its due time, one
// latency after the restart (synth_clock.h); the next pass of a stream that
// played through continues its timeline.
#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/base/midi_device.h"
#include "platform/linux/sound/synth_settings.h"

namespace platform {

constexpr const char* default_soundfont = "/usr/share/sounds/sf2/default-GM.sf2";

// wav_path empty: an audio driver. Returns the device, or null after one
// line on standard error saying why and what to set (*error NODRIVER).
MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error);

// For tests: a synthesizer with no output whose clock is the frames it has
// rendered, counted from first_frame (a multiple of 64). It renders only
// when stepped; a record handed over reaches the next block not rendered,
// and a restart within 5 ms after a stream's end continues its timeline.
MidiDevice* open_stepped_synth_device(int64_t first_frame, MMRESULT* error);
// Renders `frames` more frames of a stepped device into left and right
// (added to them).
void step_synth_device(MidiDevice* device, int64_t frames, float* left, float* right);

// The synthesizer's voices sounding now (a note's voices end when its release
// is over); -1 for a device that is not the synthesizer. For tests.
int synth_active_voices(MidiDevice* device);

}  // namespace platform
