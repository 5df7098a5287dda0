// The kinds of device that SMFSTREAM_DEVICE can name, and one factory per kind,
// each in its own file. A factory returns the opened device, or null after
// one line on standard error saying why, with *error set (MMSYSERR_NODRIVER).
#pragma once

#include <string>

#include "platform/linux/midi_device.h"

namespace platform {

struct DeviceSetting {
    enum class Kind { trace, trace_fast, synth, alsa, unknown };
    Kind kind;
    std::string argument;  // the text after "kind:", empty without one
};

// Reads the variable's value; null (unset) names the default, the synthesizer.
DeviceSetting parse_device_setting(const char* value);

MidiDevice* open_trace_device(const std::string& path, bool real_time, MMRESULT* error);  // trace_device.cpp
MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error);              // synth_device.cpp
MidiDevice* open_alsa_device(const std::string& port, MMRESULT* error);                   // alsa_device.cpp

}  // namespace platform
