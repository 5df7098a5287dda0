// What a record, a reset and a new file do to the synthesizer.
#pragma once

#include <fluidsynth.h>

#include "platform/linux/base/win_types.h"

namespace platform {

// A record's short message (a record's dwEvent); anything else sounds nothing.
void send_to_synth(fluid_synth_t* synth, DWORD word);

// midiOutReset: the pedals go up and every sounding note gets its note-off,
// so that each ends with its own release and the reverb rings out.
void release_notes(fluid_synth_t* synth);

// A file starts on channels as General MIDI leaves them: controllers reset,
// pitch bend centred, volume, pan, the first bank and program. Notes still
// ringing out keep their release.
void channels_to_defaults(fluid_synth_t* synth);

}  // namespace platform
