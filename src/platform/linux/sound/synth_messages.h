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

// A file starts on channels as a fresh synthesizer has them, in every respect
// a file can change: poly mode on every channel, controllers reset (the
// registered and non-registered parameter numbers deselected, pitch bend
// centred, pressures and pedals released), a pitch-bend range of 2 and no
// tuning, no reverb or chorus send, the sound controllers at their middle,
// volume 100, pan centred, the first bank and program. Notes still ringing
// out keep their release.
void channels_to_defaults(fluid_synth_t* synth);

}  // namespace platform
