// Merges the tracks of a loaded Standard MIDI File into stream records, one
// buffer at a time, earliest event first (the lower track first on a tie).
#pragma once

#include <cstdint>

#include "state/player_state.h"

// Places at most 511 twelve-byte records (delta time, stream id 0, event) at
// the start of buffer and stores their byte count in *byte_count; 0 bytes once
// every track has ended. Continues the merge of earlier calls on the same
// table; the time of the last record placed lives in
// player_state.last_event_time. Returns 0, storing nothing, on a null
// argument, otherwise 1.
//
// The next event is found in time proportional to the logarithm of the track
// count: the merge keeps its order of the tracks in the table itself (the
// merge fields of TrackCursor), so a copy of a table continues the merge
// where the copy was taken. A caller that moves a cursor itself sets
// tracks[0].merge_heap_size to 0: the next call orders the tracks afresh.
int fill_events(TrackCursor* tracks, uint32_t track_count, uint8_t* buffer, uint32_t* byte_count);

// Whether the track has run off its chunk (or the file) with no End of Track:
// nothing complete is left at its cursor, which is where it was cut off. The
// merge never takes such a track again.
bool track_cut_off(const TrackCursor& track);

// One event of one track, taken as the merge takes it.
struct TrackEvent {
    bool record;            // a channel message or a tempo: word is its stream event
    uint32_t word;
    bool meta;              // a meta event other than a tempo: its type and data
    uint8_t meta_type;
    const uint8_t* meta_data;
    uint32_t meta_length;
};

// The absolute time of the track's next event; false once the track has
// ended (End of Track next, or nothing complete left in its chunk).
bool track_next_time(const TrackCursor& track, uint32_t* when);

// Takes the track's next event as the merge would, moving its cursor and time
// past it; never an End of Track. False once the track has ended.
bool take_track_event(TrackCursor& track, TrackEvent* event);

// The time of the track's end (its End of Track), once it has ended.
uint32_t track_end_time(const TrackCursor& track);
