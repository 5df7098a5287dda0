// Loop points (--loop-points): a file's intro plays once, then only its loop,
// pass after pass. The loop starts at the first Control Change 111 (any
// channel, any value) or "loopStart" marker, whichever comes first, and ends
// at the first "loopEnd" marker after it, else at the file's end (its last End
// of Track). Every pass ends at the loop end; a later pass starts at the loop
// start with the state the file had set up to there.
#pragma once

#include <cstdint>

#include "state/player_state.h"

// One pass's walk through the loop: where it starts and ends, the state to
// restore before its first record, the notes it holds.
struct LoopPass;

// Finds the loop points of the loaded tracks. Null when the file has none,
// when they cannot be used (a loopEnd before the loop start, a loop start at
// or after the file's end, a loop of no length; said in one line naming path
// when say is set) or when memory is short: the pass then plays the whole
// file. When from_loop_start is set, the tracks are moved to the loop start,
// the last value of each setting before it is collected and the merge's time
// (player_state.last_event_time) is set to the loop start.
LoopPass* start_loop_pass(const char* path, TrackCursor* tracks, uint32_t track_count, bool from_loop_start,
                          bool say);

// As fill_events, for a pass through the loop: first the restored state, all
// at time 0, then the merged records up to the loop end. At the loop end only
// what ends notes is placed, then an end for every note still held and a
// record that carries the pass to the loop end; 0 bytes after that.
void fill_loop_events(LoopPass* loop, TrackCursor* tracks, uint32_t track_count, uint8_t* buffer,
                      uint32_t* byte_count);
