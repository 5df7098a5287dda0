// The sound outputs that need FluidSynth or libasound (the synthesizer, the
// ALSA sequencer port, the sound card's mixer) live in a module of their own,
// libsmfstream-sound.so (installed, or beside the program), loaded on first
// use: a player that traces, or has not yet opened device 0 or the mixer, runs
// without either library loaded.
#pragma once

#include <cstddef>

#include "platform/linux/devices/layer_lines.h"
#include "platform/linux/devices/midi_device.h"
#include "platform/linux/winmm/mixer_lines.h"

namespace platform {

struct AlsaMixer;  // alsa_mixer.h

// What the module offers, as one table of entry points.
struct SoundModule {
    MidiDevice* (*open_synth_device)(const char* wav_path, MMRESULT* error);  // synth_device.h
    MidiDevice* (*open_alsa_device)(const char* port, MMRESULT* error);       // alsa_device.h
    AlsaMixer* (*open_alsa_mixer)(MixerCard* card);                           // alsa_mixer.h
    void (*close_alsa_mixer)(AlsaMixer* mixer);
    bool (*set_alsa_mixer_volume)(AlsaMixer* mixer, size_t destination, long volume);
    // The program's writer for the module's lines (layer_lines.h); the loader
    // passes it on before any other entry is called.
    void (*set_line_writer)(LineWriter writer);
};

constexpr const char* sound_module_file = "libsmfstream-sound.so";
// extern "C" const SoundModule* smfstream_sound_module(): the module's one symbol.
constexpr const char* sound_module_entry = "smfstream_sound_module";

// The module, loaded (from the installed layout relative to the program, or
// else from the program's own directory) on the first call and
// kept; null when it cannot be loaded, with *why saying why.
const SoundModule* sound_module(const char** why);

}  // namespace platform
