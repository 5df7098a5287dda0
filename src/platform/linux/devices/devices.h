// Device 0: which device stands behind MIDI output device 0, from
// SMFSTREAM_DEVICE, opened on first use and kept for the life of the process.
//   trace:PATH        the trace device, real time
//   trace-fast:PATH   the trace device, each record sent as soon as queued
//   synth / synth:FILE.wav   embedded software synthesizer (the default)
//   alsa / alsa:PORT  an ALSA sequencer port
// The subsystem devices/ may use win32/ and base/; the sound module's devices
// it reaches only through the module's C table (sound_module.h).
#pragma once

#include "platform/linux/base/midi_device.h"

namespace platform {

// Device 0, opened on first use from SMFSTREAM_DEVICE and kept for the life of
// the process. On failure returns null and sets *error (MMSYSERR_NODRIVER when
// the output cannot be opened, after one line on standard error saying why).
MidiDevice* device0(MMRESULT* error);

// Silences and finishes every opened device; ExitProcess calls it (the first
// device opened registers it), from any thread, possibly while a stream is
// playing. Only the first call does it.
void shut_down_devices();

// Makes device (kept by the caller, null to undo) device 0 in place of the
// one SMFSTREAM_DEVICE names, for streams opened from now on; for tests.
void use_device0(MidiDevice* device);

}  // namespace platform
