// One playback pass over one file, and the pass loop that runs them.
#pragma once

#include "platform/platform.h"

// Plays the file at path once on MIDI output device 0, to the latest End of
// Track, or until a new file name arrives. Always returns 0;
// player_state.pass_played_through tells whether it ended by itself (no
// failure, no new name) after musical time had passed.
int play_file(const char* path);

// The stream's callback: wakes the pass when the device has played the buffer.
void CALLBACK stream_callback(HMIDIOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

// Runs passes forever, starting with player_state.current_path; writes the
// end-of-pass marker after each.
[[noreturn]] void run_pass_loop();

// Whether a name has arrived since the running pass took its path.
bool name_arrived_since_pass_start();
