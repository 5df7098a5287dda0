// The software synthesizer behind device 0 (SMFSTREAM_DEVICE=synth or
// synth:FILE.wav, and the default). Not built in yet.
#include <cstdio>

#include "platform/linux/device_kinds.h"

namespace platform {

MidiDevice* open_synth_device(const std::string&, MMRESULT* error) {
    fputs("smfstream: no MIDI output: the software synthesizer is not built in yet; set "
          "SMFSTREAM_DEVICE=trace:FILE (or trace-fast:FILE) to play into a trace file\n",
          stderr);
    fflush(stderr);
    *error = MMSYSERR_NODRIVER;
    return nullptr;
}

}  // namespace platform
