// Loading a Standard MIDI File: the whole file in one block, where the
// Standard MIDI File lies in it, then one cursor per track chunk. Nothing here
// ever points outside the image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/player_state.h"

constexpr size_t smf_header_bytes = 14;

// The largest file a pass loads: Standard MIDI Files are rarely above a few
// MB, and the whole file is held in memory.
constexpr size_t largest_file_image = size_t(256) << 20;

// Reads the whole file at path into one heap block. Returns null when the file
// cannot be opened or read whole, is not a regular file (a FIFO, a device or a
// folder, refused without waiting for a writer), is shorter than the 14-byte
// header, or is larger than largest_file_image; in that last case only, *size
// receives the file's size (clamped to SIZE_MAX), before any memory is taken.
uint8_t* load_file_image(const char* path, size_t* size);

// Where the Standard MIDI File lies in a loaded image: the image itself when
// it begins with an "MThd" chunk, or the contents of the "data" chunk of a
// RIFF "RMID" file (cut at the image's end). Null when the image is neither,
// or when the header chunk is shorter than 6 bytes or runs past its end;
// otherwise *smf_size receives the file's size, at least the 14-byte header.
const uint8_t* find_standard_midi_file(const uint8_t* image, size_t size, size_t* smf_size);

// The header's track count (offset 10) and time division (offset 12), both
// 16-bit big-endian. smf holds at least the 14-byte header.
uint16_t header_track_count(const uint8_t* smf);
uint16_t header_time_division(const uint8_t* smf);

// A chunk's length, from its 8-byte header (the id, then the length,
// 32-bit big-endian).
uint32_t chunk_length(const uint8_t* chunk);

// One heap block of cursors, one per "MTrk" chunk after the header chunk (its
// length honoured), at most the header's track count of them; other chunks
// are stepped over. *count receives how many. A chunk whose length runs past
// the end ends there; a chunk header cut off by the end is not a chunk. Never
// null for a track count of 0; null when the allocation fails. smf holds at
// least the 14-byte header.
TrackCursor* build_track_table(const uint8_t* smf, size_t size, uint32_t* count);
