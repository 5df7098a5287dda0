// The process-wide state shared by the main thread (the pass loop and each
// pass) and the control thread. (The stream's callback touches none of it: it
// signals the event it is given.)
//
// Who owns what:
//   volume, mixer_handle            the control thread alone
//   last_event_time, pass_*         the main thread alone
//   loop_points                     set by the entry before any thread starts
//   current_path, name_buffer, names_received, stream_handle, wake_event,
//   stopping, stream_users          guarded by lock (never held across a
//                                   call that opens or plays a device)
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Largest name the control channel can carry (a 16-bit length taken as
// unsigned, with a low byte from 0x01 to 0x7F), plus its zero byte.
constexpr uint32_t name_buffer_size = 65535;

// The single event buffer of a pass: the block allocated, the part declared to
// the device and the most records one fill places.
constexpr uint32_t event_buffer_bytes = 0x6000;
constexpr uint32_t event_buffer_declared = 0x1800;
constexpr uint32_t record_bytes = 12;
constexpr uint32_t max_records_per_fill = 511;

struct PlayerState {
    int volume;                        // only the low 8 bits are used
    const char* current_path;          // the path the next pass plays
    char name_buffer[name_buffer_size];
    UINT device_id;                    // MIDI output device and mixer number: 0
    uint32_t last_event_time;          // ticks of the last record placed this pass
    HMIDISTRM stream_handle;           // the running pass's stream, or 0
    HANDLE wake_event;                 // the running pass's wake-up event, or 0
    HMIXER mixer_handle;               // the mixer of the latest volume fallback

    CRITICAL_SECTION lock;
    uint32_t names_received;           // every name counts, also a repeated one
    HANDLE name_event;                 // signalled on every name, for the idle loop
    bool stopping;                     // the process is ending: the pass and the loop stop
    HANDLE loop_stopped;               // manual reset: the main thread has torn its pass down
    uint32_t stream_users;             // volume calls on stream_handle in progress
    HANDLE stream_released;            // signalled as the last of them ends

    uint32_t pass_names_seen;          // names_received when the pass took its path
    bool pass_played_through;          // the last pass ended by itself after musical time passed
    bool pass_repeats_name;            // the pass plays the last pass's name again: its faults were said then

    bool loop_points;                  // --loop-points: a later pass plays only the file's loop
};

extern PlayerState player_state;

// One track of the file being played.
struct TrackCursor {
    const uint8_t* chunk_start;        // the track chunk's first byte
    const uint8_t* cursor;             // the delta time of the track's next event
    uint8_t running_status;            // 0 until the track's first channel status
    bool cut_said;                     // the pass has said that the track is cut off
    uint32_t time;                     // absolute tick of the last event taken
    const uint8_t* chunk_end;          // past the chunk's last byte, within the image; the
                                       // start of an event cut off by it, once the merge finds it
    // The merge's own order, kept in the table so that a copy of the table is
    // a copy of the merge: tracks[0].merge_heap_size is 0 until the first
    // fill, then 1 + how many tracks the heap holds; entry i of the heap is
    // track tracks[i].heap_track, whose next event is due at its next_time.
    uint32_t merge_heap_size;
    uint32_t heap_track;
    uint32_t next_time;
    bool merge_found_cut;              // tracks[0]: the merge has found a track cut off since
                                       // the pass last looked for one (say_cut_tracks)
};

// Prepares the lock and the idle loop's event; the entry calls it first.
void init_player_state();

// Whether the process is ending (control/stop.h): the pass and the loop stop.
bool stop_requested();
