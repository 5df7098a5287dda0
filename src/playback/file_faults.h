// Where a loaded file is broken, said on standard error one line at a time,
// naming the file, the track (counted from 1, in the order of the track
// chunks) and the byte offset in the file. The file still plays what it can.
// path is the file's name as the messages show it (show_text).
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/player_state.h"

// A track chunk whose length runs past the end of the file, and fewer track
// chunks than the header announces. image is the loaded file, smf the
// Standard MIDI File in it (smf_size bytes), tracks its table.
void say_chunk_faults(const char* path, const uint8_t* image, const uint8_t* smf, size_t smf_size,
                      const TrackCursor* tracks, uint32_t track_count);

// Each track that the merge has found cut off since the last call, once.
void say_cut_tracks(const char* path, const uint8_t* image, TrackCursor* tracks, uint32_t track_count);
