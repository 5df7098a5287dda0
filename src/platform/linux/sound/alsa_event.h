// A stream record as an ALSA sequencer event, and the notes a port has sent
// that are still on.
#pragma once

#include <alsa/asoundlib.h>

#include <bitset>
#include <vector>

#include "platform/linux/base/win_types.h"

namespace platform {

// Fills the event's type and data from the record's dwEvent and leaves its
// addressing alone. false for a record with nothing to sound (a tempo record,
// a no-op, a system message): the event is then untouched.
bool seq_event_from_word(DWORD word, snd_seq_event_t* event);

// The controller event that All Notes Off (123), sustain off (64 = 0) and
// Reset All Controllers (121) are made of, for one channel.
void seq_controller_event(unsigned channel, unsigned controller, int value, snd_seq_event_t* event);

// The notes sent to a port that are still on, per channel: what a reset must
// release note by note, as midiOutReset does, since a receiver may ignore
// All Notes Off (one in omni mode may).
class SoundingNotes {
public:
    // An event that went out: a note-on of velocity above 0 turns its note on,
    // a note-off or a note-on of velocity 0 turns it off.
    void sent(const snd_seq_event_t& event);
    // The events of a reset, and the notes forgotten: on each channel the
    // sustain and sostenuto pedals up, a note-off for each note still on, then
    // All Notes Off for receivers that keep notes of their own.
    std::vector<snd_seq_event_t> reset_events();

private:
    std::bitset<128> on_[16];
};

}  // namespace platform
