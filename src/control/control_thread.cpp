#include "control/control_thread.h"

#include <cstdio>
#include <cstring>

#include "control/volume.h"
#include "state/messages.h"
#include "state/player_state.h"

namespace {

// The name being read; it reaches name_buffer whole, under the lock.
char incoming[name_buffer_size];

void say(const char* text) {
    fputs(text, stderr);
    fflush(stderr);
}

bool read_byte(uint8_t& byte) { return fread(&byte, 1, 1, stdin) == 1; }

// Makes the name the current path, counts it and wakes the running pass.
void hand_over_name(uint32_t length) {
    EnterCriticalSection(&player_state.lock);
    memcpy(player_state.name_buffer, incoming, length);
    player_state.name_buffer[length] = '\0';
    player_state.current_path = player_state.name_buffer;
    ++player_state.names_received;
    write_message("New filename received: %s\n", player_state.name_buffer);
    if (player_state.wake_event) SetEvent(player_state.wake_event);
    SetEvent(player_state.name_event);
    LeaveCriticalSection(&player_state.lock);
}

}  // namespace

void end_process(int status) {
    // Every message and marker is flushed as it is written, so there is nothing
    // left to flush; flushing here could block for ever behind a controller
    // that has stopped reading, and the end of input must always end the player.
    ExitProcess(static_cast<UINT>(status));
}

DWORD WINAPI control_thread(LPVOID) {
    for (;;) {
        apply_volume();
        say("read from stdin...");

        uint8_t b0, b1;
        if (!read_byte(b0) || !read_byte(b1)) end_process(0);
        fprintf(stderr, "got %x %x\n", unsigned(b0), unsigned(b1));
        fflush(stderr);

        if (b0 == 0x00 || b0 >= 0x80) {
            fprintf(stderr, "New volume received: %d\n", int(b1));
            fflush(stderr);
            player_state.volume = b1;
            continue;
        }

        // The length is unsigned: a high byte of 0x80 or more still fits name_buffer.
        uint32_t length = b0 + 256u * b1;
        fprintf(stderr, "New filename sending: %d bytes\n", int(length));
        fflush(stderr);
        uint32_t got = 0;
        while (got < length) {
            size_t n = fread(incoming + got, 1, length - got, stdin);
            if (n == 0) break;
            got += static_cast<uint32_t>(n);
        }
        if (got < length) {
            fprintf(stderr, "not enough data, got %d, expected %d bytes\n", int(got), int(length));
            end_process(0);
        }
        hand_over_name(length);
    }
}

void start_control_thread() {
    CreateThread(nullptr, 0, control_thread, nullptr, 0, nullptr);
}
