// A stream record as an ALSA sequencer event.
#pragma once

#include <alsa/asoundlib.h>

#include "platform/linux/win32/win_types.h"

namespace platform {

// Fills the event's type and data from the record's dwEvent and leaves its
// addressing alone. false for a record with nothing to sound (a tempo record,
// a no-op, a system message): the event is then untouched.
bool seq_event_from_word(DWORD word, snd_seq_event_t* event);

// The controller event that All Notes Off (123), sustain off (64 = 0) and
// Reset All Controllers (121) are made of, for one channel.
void seq_controller_event(unsigned channel, unsigned controller, int value, snd_seq_event_t* event);

}  // namespace platform
