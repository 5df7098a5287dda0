#include "state/player_state.h"

PlayerState player_state = {};

void init_player_state() {
    player_state.volume = 127;
    InitializeCriticalSection(&player_state.lock);
    player_state.name_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    player_state.loop_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    player_state.stream_released = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

bool stop_requested() {
    EnterCriticalSection(&player_state.lock);
    bool stopping = player_state.stopping;
    LeaveCriticalSection(&player_state.lock);
    return stopping;
}
