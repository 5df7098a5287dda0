// What a record, a reset and a new file do to the synthesizer.
#include "platform/linux/sound/synth_messages.h"

#include <initializer_list>

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
    // One basic channel in Omni On Poly for all of them, as at the start.
    fluid_synth_reset_basic_channel(synth, -1);
    fluid_synth_set_basic_channel(synth, 0, FLUID_CHANNEL_MODE_OMNION_POLY, fluid_synth_count_midi_channels(synth));
    for (int channel = 0; channel < 16; ++channel) {
        // Deselected first, so that no data entry below reaches a parameter.
        for (int number : {101, 100, 99, 98}) fluid_synth_cc(synth, channel, number, 127);
        fluid_synth_cc(synth, channel, 121, 0);  // the rest, and the parameters' generators
        fluid_synth_pitch_bend(synth, channel, 8192);
        fluid_synth_pitch_wheel_sens(synth, channel, 2);
        fluid_synth_deactivate_tuning(synth, channel, 0);
        // What Reset All Controllers leaves alone.
        for (int number = 91; number <= 95; ++number) fluid_synth_cc(synth, channel, number, 0);
        for (int number = 70; number <= 79; ++number) fluid_synth_cc(synth, channel, number, 64);
        fluid_synth_cc(synth, channel, 7, 100);
        fluid_synth_cc(synth, channel, 39, 0);
        fluid_synth_cc(synth, channel, 10, 64);
        fluid_synth_cc(synth, channel, 42, 0);
        fluid_synth_cc(synth, channel, 32, 0);
        if (channel != 9) fluid_synth_bank_select(synth, channel, 0);
        fluid_synth_program_change(synth, channel, 0);
    }
}

}  // namespace platform
