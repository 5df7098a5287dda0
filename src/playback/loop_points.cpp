// Loop points: finding them in a loaded file, moving a pass to the loop
// start with the state in effect there, and ending every pass at the loop end.
#include "playback/loop_points.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "playback/track_merger.h"
#include "state/messages.h"

namespace {

constexpr int16_t unset = -1;
constexpr uint32_t channels = 16;
constexpr uint32_t keys = 128;

// Registered and non-registered parameters, each with its data, over all
// channels: more than this many in an intro are not restored.
constexpr uint32_t max_parameters = 256;
// Tempo; per channel a reset, every controller, program, pitch bend, pressure
// and the two parameter selections; four records per parameter.
constexpr uint32_t max_restore = 1 + channels * (1 + keys + 3 + 4) + max_parameters * 4;

enum class Selected : uint8_t { none, registered, non_registered };

struct ChannelState {
    int16_t controller[128];  // last value of each, or unset
    int16_t program;
    int16_t pitch_bend;       // both data bytes, first in the low byte
    int16_t pressure;
    bool reset;               // Reset All Controllers came: it goes first
    Selected selected;        // the pair of selection controllers written last
    // What the loop itself sets: where the intro left one of these unset,
    // a later pass starts it from its default instead of the loop's last value.
    uint8_t loop_controllers[128 / 8];
    bool loop_program, loop_pitch_bend, loop_pressure;
};

// The General MIDI defaults of the controllers that have one.
struct ControllerDefault {
    uint8_t number, value;
};
constexpr ControllerDefault controller_defaults[] = {{0, 0},   {1, 0},    {7, 100}, {10, 64}, {11, 127},
                                                     {32, 0},  {64, 0},   {65, 0},  {66, 0},  {67, 0}};

struct Parameter {
    uint8_t channel;
    Selected kind;
    int16_t number[2];        // the selection: most significant byte, then least
    int16_t data[2];          // Data Entry, most significant (6) then least (38)
};

enum class Phase : uint8_t { playing, closing, ended };

// A marker meta event (FF 06) whose text is word, in any case.
bool is_marker(const TrackEvent& event, const char* word) {
    const size_t length = strlen(word);
    if (!event.meta || event.meta_type != 0x06 || event.meta_length != length) return false;
    for (size_t i = 0; i < length; ++i) {
        uint8_t c = event.meta_data[i];
        if (c >= 'A' && c <= 'Z') c = uint8_t(c - 'A' + 'a');
        uint8_t w = uint8_t(word[i]);
        if (w >= 'A' && w <= 'Z') w = uint8_t(w - 'A' + 'a');
        if (c != w) return false;
    }
    return true;
}

bool is_short_message(uint32_t word) { return (word >> 24) == MEVT_SHORTMSG && (word & 0x80); }

// Control Change 111, any channel, any value.
bool is_loop_controller(const TrackEvent& event) {
    return event.record && is_short_message(event.word) && (event.word & 0xF0) == 0xB0 &&
           ((event.word >> 8) & 0xFF) == 111;
}

enum class Points { none, usable, end_before_start, start_at_end, no_length };

const char* why_not(Points points) {
    switch (points) {
    case Points::end_before_start: return "a loopEnd comes before the loop start";
    case Points::start_at_end: return "the loop starts at or after the end of the file";
    case Points::no_length: return "the loop has no length";
    default: return "";
    }
}

// Walks each track on a copy of its cursor: the loop start is the earliest
// loop controller or loopStart marker of any track, the loop end the
// earliest loopEnd marker, else the latest End of Track.
Points find_points(const TrackCursor* tracks, uint32_t track_count, uint32_t* start, uint32_t* end) {
    bool has_start = false, has_end = false;
    uint32_t file_end = 0;
    for (uint32_t i = 0; i < track_count; ++i) {
        TrackCursor track = tracks[i];
        TrackEvent event;
        bool track_has_start = false;
        while (take_track_event(track, &event)) {
            if (!track_has_start && (is_loop_controller(event) || is_marker(event, "loopStart"))) {
                track_has_start = true;
                if (!has_start || track.time < *start) *start = track.time;
                has_start = true;
            } else if (is_marker(event, "loopEnd")) {
                if (!has_end || track.time < *end) *end = track.time;
                has_end = true;
            }
        }
        const uint32_t track_end = track_end_time(track);
        if (track_end > file_end) file_end = track_end;
    }
    if (!has_start) return has_end ? Points::end_before_start : Points::none;
    if (has_end && *end < *start) return Points::end_before_start;
    if (has_end && *end == *start) return Points::no_length;
    if (!has_end) {
        if (*start >= file_end) return Points::start_at_end;
        *end = file_end;
    }
    return Points::usable;
}

}  // namespace

struct LoopPass {
    uint32_t start, end;

    // The state in effect at the loop start, for a later pass.
    int32_t tempo;
    ChannelState channel[channels];
    Parameter parameters[max_parameters];
    uint32_t parameter_count;
    uint32_t restore[max_restore];
    uint32_t restore_count, restore_placed;

    // The merger's records not yet looked at, and where the pass stands.
    uint8_t pending[max_records_per_fill * record_bytes];
    uint32_t pending_count, pending_taken;
    uint32_t merged_time;     // the time of the last record taken from the merger
    uint32_t placed_time;     // the time of the last record placed
    Phase phase;
    uint8_t held[channels][keys / 8];  // notes sounding
    uint16_t sustained;       // channels with the sustain pedal down
    uint32_t closing_at;      // the next channel * 128 + key to end
};

namespace {

// The parameter the channel's selection names, found or added; null for the
// null selection (127, 127), or when the table is full.
Parameter* selected_parameter(LoopPass* loop, uint8_t channel) {
    const ChannelState& state = loop->channel[channel];
    const bool registered = state.selected == Selected::registered;
    const int16_t msb = state.controller[registered ? 101 : 99], lsb = state.controller[registered ? 100 : 98];
    if (msb == 127 && lsb == 127) return nullptr;
    for (uint32_t i = 0; i < loop->parameter_count; ++i) {
        Parameter& p = loop->parameters[i];
        if (p.channel == channel && p.kind == state.selected && p.number[0] == msb && p.number[1] == lsb) return &p;
    }
    if (loop->parameter_count == max_parameters) return nullptr;
    Parameter& p = loop->parameters[loop->parameter_count++];
    p = {channel, state.selected, {msb, lsb}, {unset, unset}};
    return &p;
}

void note_controller(LoopPass* loop, uint8_t channel, uint8_t number, uint8_t value) {
    ChannelState& state = loop->channel[channel];
    switch (number) {
    case 101:
    case 100:
        state.controller[number] = value;
        state.selected = Selected::registered;
        return;
    case 99:
    case 98:
        state.controller[number] = value;
        state.selected = Selected::non_registered;
        return;
    case 6:
    case 38:
        if (state.selected == Selected::none) {
            state.controller[number] = value;
        } else if (Parameter* p = selected_parameter(loop, channel)) {
            p->data[number == 38] = value;
        }
        return;
    case 121:
        // Sent again first; what it resets is forgotten up to here.
        state.reset = true;
        for (uint8_t reset : {1, 11, 64, 65, 66, 67, 98, 99, 100, 101}) state.controller[reset] = unset;
        state.pitch_bend = state.pressure = unset;
        state.selected = Selected::none;
        return;
    case 96:
    case 97:
        return;  // data increment and decrement: steps, not a value
    case 120:
    case 122:
    case 123:
    case 124:
    case 125:
    case 126:
    case 127:
        return;  // channel mode messages: no setting to restore
    default:
        state.controller[number] = value;
    }
}

// Keeps the last value of each setting a record makes.
void note_state(LoopPass* loop, uint32_t word) {
    if ((word >> 24) == MEVT_TEMPO) {
        loop->tempo = int32_t(word & 0xFFFFFF);
        return;
    }
    if (!is_short_message(word)) return;
    const uint8_t channel = word & 0x0F, first = (word >> 8) & 0x7F, second = (word >> 16) & 0x7F;
    ChannelState& state = loop->channel[channel];
    switch (word & 0xF0) {
    case 0xB0: note_controller(loop, channel, first, second); break;
    case 0xC0: state.program = first; break;
    case 0xD0: state.pressure = first; break;
    case 0xE0: state.pitch_bend = int16_t(first | second << 8); break;
    default: break;
    }
}

// The merge up to (not including) the loop start, placing nothing: the same
// choice of track as the merger's, so that the last value of each setting
// is the one the merge would have sent last.
void seek_loop_start(LoopPass* loop, TrackCursor* tracks, uint32_t track_count) {
    for (;;) {
        TrackCursor* best = nullptr;
        uint32_t best_time = 0;
        for (uint32_t i = 0; i < track_count; ++i) {
            uint32_t when;
            if (track_next_time(tracks[i], &when) && (!best || when < best_time)) {
                best_time = when;
                best = &tracks[i];
            }
        }
        if (!best || best_time >= loop->start) return;
        TrackEvent event;
        if (take_track_event(*best, &event) && event.record) note_state(loop, event.word);
    }
}

void add_restore(LoopPass* loop, uint32_t word) {
    if (loop->restore_count < max_restore) loop->restore[loop->restore_count++] = word;
}

void add_controller(LoopPass* loop, uint8_t channel, uint8_t number, int16_t value) {
    if (value != unset) add_restore(loop, 0xB0u | channel | uint32_t(number) << 8 | uint32_t(value) << 16);
}

void add_selection(LoopPass* loop, uint8_t channel, bool registered) {
    const ChannelState& state = loop->channel[channel];
    add_controller(loop, channel, registered ? 101 : 99, state.controller[registered ? 101 : 99]);
    add_controller(loop, channel, registered ? 100 : 98, state.controller[registered ? 100 : 98]);
}

// Notes what the loop sets, from the loop start (where the tracks stand) to
// the loop end, each track on a copy of its cursor.
void note_loop_settings(LoopPass* loop, const TrackCursor* tracks, uint32_t track_count) {
    for (uint32_t i = 0; i < track_count; ++i) {
        TrackCursor track = tracks[i];
        uint32_t when;
        TrackEvent event;
        while (track_next_time(track, &when) && when < loop->end && take_track_event(track, &event)) {
            if (!event.record || !is_short_message(event.word)) continue;
            ChannelState& state = loop->channel[event.word & 0x0F];
            const uint8_t first = (event.word >> 8) & 0x7F;
            switch (event.word & 0xF0) {
            case 0xB0: state.loop_controllers[first / 8] |= uint8_t(1 << (first % 8)); break;
            case 0xC0: state.loop_program = true; break;
            case 0xD0: state.loop_pressure = true; break;
            case 0xE0: state.loop_pitch_bend = true; break;
            default: break;
            }
        }
    }
}

// Where the intro left a setting unset that the loop sets, its default:
// program 0, the pitch bend centred, no pressure, the controllers' own.
void default_loop_settings(LoopPass* loop) {
    for (ChannelState& state : loop->channel) {
        for (const ControllerDefault& d : controller_defaults)
            if (state.controller[d.number] == unset && (state.loop_controllers[d.number / 8] & (1 << (d.number % 8))))
                state.controller[d.number] = d.value;
        if (state.program == unset && state.loop_program) state.program = 0;
        if (state.pitch_bend == unset && state.loop_pitch_bend) state.pitch_bend = 0x40 << 8;
        if (state.pressure == unset && state.loop_pressure) state.pressure = 0;
    }
}

// The records that set up the state collected: the tempo, then per channel
// the reset, the bank and program, the other controllers, each parameter
// with its data, the selection last made, the pitch bend and the pressure.
void build_restore(LoopPass* loop) {
    if (loop->tempo != unset) add_restore(loop, uint32_t(MEVT_TEMPO) << 24 | uint32_t(loop->tempo));
    for (uint8_t channel = 0; channel < channels; ++channel) {
        const ChannelState& state = loop->channel[channel];
        if (state.reset) add_controller(loop, channel, 121, 0);
        add_controller(loop, channel, 0, state.controller[0]);
        add_controller(loop, channel, 32, state.controller[32]);
        if (state.program != unset) add_restore(loop, 0xC0u | channel | uint32_t(state.program) << 8);
        for (uint8_t number = 1; number < 120; ++number)
            if (number != 32 && (number < 98 || number > 101)) add_controller(loop, channel, number, state.controller[number]);
        for (uint32_t i = 0; i < loop->parameter_count; ++i) {
            const Parameter& p = loop->parameters[i];
            if (p.channel != channel) continue;
            const bool registered = p.kind == Selected::registered;
            add_controller(loop, channel, registered ? 101 : 99, p.number[0]);
            add_controller(loop, channel, registered ? 100 : 98, p.number[1]);
            add_controller(loop, channel, 6, p.data[0]);
            add_controller(loop, channel, 38, p.data[1]);
        }
        const bool registered_last = state.selected == Selected::registered;
        add_selection(loop, channel, !registered_last);
        add_selection(loop, channel, registered_last);
        if (state.pitch_bend != unset)
            add_restore(loop, 0xE0u | channel | uint32_t(state.pitch_bend & 0x7F) << 8 |
                                  uint32_t(state.pitch_bend >> 8) << 16);
        if (state.pressure != unset) add_restore(loop, 0xD0u | channel | uint32_t(state.pressure) << 8);
    }
}

void place(uint8_t* buffer, uint32_t index, uint32_t delta, uint32_t word) {
    uint8_t* record = buffer + index * record_bytes;
    const uint32_t words[3] = {delta, 0, word};
    for (int w = 0; w < 3; ++w)
        for (int b = 0; b < 4; ++b) record[w * 4 + b] = uint8_t(words[w] >> (8 * b));
}

uint32_t read_word(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// Follows the notes and the sustain pedal a record starts and ends; whether
// it is placed: at the loop end only what ends notes is.
bool follow(LoopPass* loop, uint32_t word, bool at_end) {
    if (!is_short_message(word)) return !at_end;
    const uint8_t channel = word & 0x0F, first = (word >> 8) & 0x7F, second = (word >> 16) & 0xFF;
    uint8_t& bits = loop->held[channel][first / 8];
    const uint8_t bit = uint8_t(1 << (first % 8));
    switch (word & 0xF0) {
    case 0x80:
        bits &= uint8_t(~bit);
        return true;
    case 0x90:
        if (second == 0) {
            bits &= uint8_t(~bit);
            return true;
        }
        if (at_end) return false;
        bits |= bit;
        return true;
    case 0xB0:
        if (first == 64) {
            if (second < 64) {
                loop->sustained &= uint16_t(~(1u << channel));
                return true;
            }
            if (at_end) return false;
            loop->sustained |= uint16_t(1u << channel);
            return true;
        }
        return !at_end || first == 120 || first == 123;
    default:
        return !at_end;
    }
}

}  // namespace

LoopPass* start_loop_pass(const char* path, TrackCursor* tracks, uint32_t track_count, bool from_loop_start,
                          bool say) {
    uint32_t start = 0, end = 0;
    const Points points = find_points(tracks, track_count, &start, &end);
    if (points != Points::usable) {
        if (say && points != Points::none)
            write_message("loop points not used in %s: %s; the whole file loops\n", path, why_not(points));
        return nullptr;
    }
    LoopPass* loop = static_cast<LoopPass*>(calloc(1, sizeof(LoopPass)));
    if (!loop) return nullptr;
    loop->start = start;
    loop->end = end;
    loop->phase = Phase::playing;
    if (from_loop_start) {
        loop->tempo = unset;
        for (ChannelState& state : loop->channel) {
            for (int16_t& value : state.controller) value = unset;
            state.program = state.pitch_bend = state.pressure = unset;
        }
        seek_loop_start(loop, tracks, track_count);
        note_loop_settings(loop, tracks, track_count);
        default_loop_settings(loop);
        build_restore(loop);
        loop->merged_time = loop->placed_time = start;
        player_state.last_event_time = start;
    }
    return loop;
}

void fill_loop_events(LoopPass* loop, TrackCursor* tracks, uint32_t track_count, uint8_t* buffer,
                      uint32_t* byte_count) {
    uint32_t records = 0;
    while (records < max_records_per_fill) {
        if (loop->restore_placed < loop->restore_count) {
            const uint32_t word = loop->restore[loop->restore_placed++];
            follow(loop, word, false);  // a sustain pedal restored down is let up at the loop end
            place(buffer, records++, 0, word);
            continue;
        }
        if (loop->phase == Phase::playing) {
            if (loop->pending_taken == loop->pending_count) {
                uint32_t bytes = 0;
                fill_events(tracks, track_count, loop->pending, &bytes);
                loop->pending_count = bytes / record_bytes;
                loop->pending_taken = 0;
                if (loop->pending_count == 0) {
                    loop->phase = Phase::closing;
                    continue;
                }
            }
            const uint8_t* merged = loop->pending + loop->pending_taken++ * record_bytes;
            const uint32_t time = loop->merged_time + read_word(merged);
            const uint32_t word = read_word(merged + 8);
            loop->merged_time = time;
            if (time > loop->end) {
                loop->phase = Phase::closing;
                continue;
            }
            if (!follow(loop, word, time == loop->end)) continue;
            place(buffer, records++, time - loop->placed_time, word);
            loop->placed_time = time;
            continue;
        }
        if (loop->phase == Phase::closing) {
            // Every note still held ends at the loop end, and so does the
            // sustain pedal; then the pass reaches the loop end.
            uint32_t at = loop->closing_at;
            while (at < channels * keys && !(loop->held[at / keys][at % keys / 8] & (1 << (at % 8)))) ++at;
            if (at < channels * keys) {
                loop->closing_at = at + 1;
                place(buffer, records++, loop->end - loop->placed_time, 0x80u | at / keys | (at % keys) << 8);
                loop->placed_time = loop->end;
                continue;
            }
            loop->closing_at = at;
            if (loop->sustained) {
                uint8_t channel = 0;
                while (!(loop->sustained & (1u << channel))) ++channel;
                loop->sustained &= uint16_t(~(1u << channel));
                place(buffer, records++, loop->end - loop->placed_time, 0xB0u | channel | 64u << 8);
                loop->placed_time = loop->end;
                continue;
            }
            if (loop->placed_time != loop->end) {
                place(buffer, records++, loop->end - loop->placed_time, uint32_t(MEVT_NOP) << 24);
                loop->placed_time = loop->end;
            }
            loop->phase = Phase::ended;
            continue;
        }
        break;
    }
    *byte_count = records * record_bytes;
}
