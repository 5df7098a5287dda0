// What a record, a reset and a new file do to the synthesizer.
#include "platform/linux/sound/synth_messages.h"

#include "platform/linux/base/short_message.h"

namespace platform {

void send_to_synth(fluid_synth_t* synth, DWORD word) {
    ShortMessage m = decode_short_message(word);
    using Kind = ShortMessage::Kind;
    switch (m.kind) {
    case Kind::none: break;
    case Kind::note_off: fluid_synth_noteoff(synth, m.channel, m.data1); break;
    case Kind::note_on:
        if (m.data2 == 0)
            fluid_synth_noteoff(synth, m.channel, m.data1);
        else
            fluid_synth_noteon(synth, m.channel, m.data1, m.data2);
        break;
    case Kind::key_pressure: fluid_synth_key_pressure(synth, m.channel, m.data1, m.data2); break;
    case Kind::control_change: fluid_synth_cc(synth, m.channel, m.data1, m.data2); break;
    case Kind::program_change: fluid_synth_program_change(synth, m.channel, m.data1); break;
    case Kind::channel_pressure: fluid_synth_channel_pressure(synth, m.channel, m.data1); break;
    case Kind::pitch_bend: fluid_synth_pitch_bend(synth, m.channel, m.bend); break;
    }
}

void release_notes(fluid_synth_t* synth) {
    for (int channel = 0; channel < 16; ++channel) {
        fluid_synth_cc(synth, channel, 64, 0);  // sustain
        fluid_synth_cc(synth, channel, 66, 0);  // sostenuto
    }
    fluid_synth_all_notes_off(synth, -1);
}

void channels_to_defaults(fluid_synth_t* synth) {
    for (int channel = 0; channel < 16; ++channel) {
        fluid_synth_cc(synth, channel, 121, 0);
        fluid_synth_pitch_bend(synth, channel, 8192);
        fluid_synth_cc(synth, channel, 7, 100);
        fluid_synth_cc(synth, channel, 10, 64);
        if (channel != 9) fluid_synth_bank_select(synth, channel, 0);
        fluid_synth_program_change(synth, channel, 0);
    }
}

}  // namespace platform
