// The kinds of device that SMFSTREAM_DEVICE can name, and one factory per kind,
// each in its own file (the synthesizer's and the ALSA port's are in the sound
// module: synth_device.h, alsa_device.h, sound_module.h). A factory returns
// the opened device, or null after one line on standard error saying why,
// with *error set (MMSYSERR_NODRIVER).
#pragma once

#include <string>

#include "platform/linux/base/midi_device.h"

namespace platform {

struct DeviceSetting {
    enum class Kind { trace, trace_fast, synth, alsa, unknown };
    Kind kind;
    std::string argument;  // the text after "kind:", empty without one
};

// Reads the variable's value; null (unset) names the default, the synthesizer.
DeviceSetting parse_device_setting(const char* value);

MidiDevice* open_trace_device(const std::string& path, Pacing pacing, MMRESULT* error);  // trace_device.cpp

}  // namespace platform
