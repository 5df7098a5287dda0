// An ALSA sequencer port behind device 0: SMFSTREAM_DEVICE=alsa:PORT (PORT as
// client:port or a client name) or alsa (the first port that takes MIDI from
// others and is not a "Through" port). Records go out through a sequencer
// client and port of our own, each sent directly at its due time.
#pragma once

#include <string>

#include "platform/linux/base/midi_device.h"

namespace platform {

// Whether plain "alsa" picks this port: one that accepts writes and
// subscriptions, of another client than the system's and ours, and not a
// "Through" port (by its client's or its own name).
bool port_takes_our_output(int client, int own_client, unsigned capabilities, const char* client_name,
                           const char* port_name);

// Returns the device, or null after one line on standard error saying why and
// what to set (*error NODRIVER).
MidiDevice* open_alsa_device(const std::string& port, MMRESULT* error);

}  // namespace platform
