#include "platform/linux/sound/alsa_event.h"

#include "platform/linux/base/short_message.h"

namespace platform {

bool seq_event_from_word(DWORD word, snd_seq_event_t* event) {
    ShortMessage m = decode_short_message(word);
    using Kind = ShortMessage::Kind;
    switch (m.kind) {
    case Kind::none: return false;
    // A note-on of velocity 0 goes out as it came: the port's receiver reads it as a note-off.
    case Kind::note_on: snd_seq_ev_set_noteon(event, m.channel, m.data1, m.data2); break;
    case Kind::note_off: snd_seq_ev_set_noteoff(event, m.channel, m.data1, m.data2); break;
    case Kind::key_pressure: snd_seq_ev_set_keypress(event, m.channel, m.data1, m.data2); break;
    case Kind::control_change: snd_seq_ev_set_controller(event, m.channel, m.data1, m.data2); break;
    case Kind::program_change: snd_seq_ev_set_pgmchange(event, m.channel, m.data1); break;
    case Kind::channel_pressure: snd_seq_ev_set_chanpress(event, m.channel, m.data1); break;
    case Kind::pitch_bend: snd_seq_ev_set_pitchbend(event, m.channel, m.bend - 8192); break;
    }
    return true;
}

void seq_controller_event(unsigned channel, unsigned controller, int value, snd_seq_event_t* event) {
    snd_seq_ev_set_controller(event, channel, controller, value);
}

}  // namespace platform

namespace platform {

void SoundingNotes::sent(const snd_seq_event_t& event) {
    if (event.type != SND_SEQ_EVENT_NOTEON && event.type != SND_SEQ_EVENT_NOTEOFF) return;
    const snd_seq_ev_note_t& note = event.data.note;
    if (note.channel >= 16 || note.note >= 128) return;
    on_[note.channel][note.note] = event.type == SND_SEQ_EVENT_NOTEON && note.velocity > 0;
}

std::vector<snd_seq_event_t> SoundingNotes::reset_events() {
    std::vector<snd_seq_event_t> events;
    auto add = [&events](auto&& fill) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        fill(&event);
        events.push_back(event);
    };
    for (unsigned channel = 0; channel < 16; ++channel) {
        for (unsigned pedal : {64u, 66u}) add([&](snd_seq_event_t* e) { seq_controller_event(channel, pedal, 0, e); });
        for (unsigned key = 0; key < 128; ++key)
            if (on_[channel][key]) add([&](snd_seq_event_t* e) { snd_seq_ev_set_noteoff(e, channel, key, 0); });
        add([&](snd_seq_event_t* e) { seq_controller_event(channel, 123, 0, e); });
        on_[channel].reset();
    }
    return events;
}

}  // namespace platform
