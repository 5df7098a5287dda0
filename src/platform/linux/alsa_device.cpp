// An ALSA sequencer port behind device 0 (SMFSTREAM_DEVICE=alsa or alsa:PORT).
// Not built in yet.
#include <cstdio>

#include "platform/linux/device_kinds.h"

namespace platform {

MidiDevice* open_alsa_device(const std::string&, MMRESULT* error) {
    fputs("smfstream: no MIDI output: ALSA sequencer output is not built in yet; set "
          "SMFSTREAM_DEVICE=trace:FILE (or trace-fast:FILE) to play into a trace file\n",
          stderr);
    fflush(stderr);
    *error = MMSYSERR_NODRIVER;
    return nullptr;
}

}  // namespace platform
