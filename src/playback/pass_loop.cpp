// The pass loop: passes one after another on the main thread, the marker
// after each, and the wait for a name after a pass that played nothing.
#include <cstdio>
#include <cstring>

#include "playback/play_file.h"
#include "state/player_state.h"

namespace {

// The running pass's own copy of its path: the control thread may overwrite
// name_buffer at any moment.
char pass_path[name_buffer_size];

// Copies the current path and notes how many names had arrived, in one step.
void take_current_path() {
    EnterCriticalSection(&player_state.lock);
    // The path and its end only: strncpy would also clear the rest of the
    // 64 KB buffer, at every pass and at start-up (16 fresh pages).
    const size_t length = strnlen(player_state.current_path, sizeof pass_path - 1);
    memcpy(pass_path, player_state.current_path, length);
    pass_path[length] = '\0';
    player_state.pass_names_seen = player_state.names_received;
    LeaveCriticalSection(&player_state.lock);
}

// The process is ending and the pass is torn down: says so and waits for the
// end, which the thread that asked for it brings.
[[noreturn]] void rest() {
    SetEvent(player_state.loop_stopped);
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) WaitForSingleObject(never ? never : player_state.loop_stopped, INFINITE);
}

}  // namespace

void run_pass_loop() {
    bool first = true;
    for (;;) {
        if (stop_requested()) rest();
        const uint32_t names_seen_before = player_state.pass_names_seen;
        take_current_path();
        // Only a pass that played through is followed by its own name again
        // with no name received in between.
        player_state.pass_repeats_name = !first && player_state.pass_names_seen == names_seen_before;
        first = false;
        play_file(pass_path);
        // A pass cut short by the end of the process gets no marker.
        if (stop_requested()) rest();
        fputs("1", stdout);
        fflush(stdout);
        // A pass that played something and ended by itself starts again at once;
        // so does one ended by a new name. After a pass that failed or had
        // nothing to play (no musical time passed: every record at tick 0, a
        // tempo of 0 or a division of 0), wait for a name rather than retry
        // without pause.
        if (player_state.pass_played_through) continue;
        while (!name_arrived_since_pass_start() && !stop_requested())
            WaitForSingleObject(player_state.name_event, INFINITE);
    }
}
