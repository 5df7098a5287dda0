// The sound outputs that need FluidSynth or libasound (the synthesizer, the
// ALSA sequencer port, the sound card's mixer) live in a module of their own,
// libsmfstream-sound.so (installed, or beside the program), loaded on first
// use: a player that traces, or has not yet opened device 0 or the mixer, runs
// without either library loaded. The program reaches it only through its C
// interface (sound_module_abi.h).
#pragma once

#include <string>

#include "platform/linux/base/midi_device.h"
#include "platform/linux/base/sound_module_abi.h"

namespace platform {

constexpr const char* sound_module_file = "libsmfstream-sound.so";

// The module, loaded (from the installed layout relative to the program, or
// else from the program's own directory) on the first call and
// kept; null when it cannot be loaded, with *why saying why.
const smfstream_sound_table* sound_module(const char** why);

// Loads the module at path: its table, after the line writer has been handed
// over; null with *why saying why when it cannot be loaded or is of another
// interface version.
const smfstream_sound_table* load_sound_module(const std::string& path, std::string* why);

// A device of the module, as the stream sees a device: open_synth or
// open_alsa, each of its calls one call of the module's table. Null with
// *error set on failure.
MidiDevice* open_module_device(const smfstream_sound_table& module, bool synth, const char* argument,
                               MMRESULT* error);

}  // namespace platform
