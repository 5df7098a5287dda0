#include "control/control_thread.h"

#include <cstdio>
#include <cstring>

#include "control/stop.h"
#include "control/volume.h"
#include "state/messages.h"
#include "state/player_state.h"
#include "smfstream/protocol.hpp"

namespace {

// The name being read; it reaches name_buffer whole, under the lock.
char incoming[name_buffer_size];  // room for the longest name and its zero byte

bool read_byte(uint8_t& byte) { return fread(&byte, 1, 1, stdin) == 1; }

// Its message, formatted outside the lock.
char shown_name[shown_name_bytes];
char received_line[shown_name_bytes + 32];

// Makes the name the current path, counts it and wakes the running pass. The
// message is handed to the writer under the lock (a copy into its buffer that
// never waits for standard error), so that it comes before the message of the
// pass that this name ends, and after that of a pass the previous name ended.
void hand_over_name(uint32_t length) {
    incoming[length] = '\0';
    snprintf(received_line, sizeof received_line, "New filename received: %s\n",
             show_text(incoming, shown_name, sizeof shown_name));
    EnterCriticalSection(&player_state.lock);
    memcpy(player_state.name_buffer, incoming, length + 1);
    player_state.current_path = player_state.name_buffer;
    ++player_state.names_received;
    write_text(received_line);
    if (player_state.wake_event) SetEvent(player_state.wake_event);
    SetEvent(player_state.name_event);
    LeaveCriticalSection(&player_state.lock);
}

}  // namespace

DWORD WINAPI control_thread(LPVOID) {
    for (;;) {
        apply_volume();
        write_text("read from stdin...");

        uint8_t b0, b1;
        if (!read_byte(b0) || !read_byte(b1)) end_process(0);
        write_message("got %x %x\n", unsigned(b0), unsigned(b1));

        if (!smfstream::protocol::is_name_command(b0)) {
            write_message("New volume received: %d\n", int(b1));
            player_state.volume = b1;
            continue;
        }

        // The length is unsigned: a high byte of 0x80 or more still fits name_buffer.
        uint32_t length = b0 + 256u * b1;
        write_message("New filename sending: %d bytes\n", int(length));
        uint32_t got = 0;
        while (got < length) {
            size_t n = fread(incoming + got, 1, length - got, stdin);
            if (n == 0) break;
            got += static_cast<uint32_t>(n);
        }
        if (got < length) {
            write_message("not enough data, got %d, expected %d bytes\n", int(got), int(length));
            end_process(0);
        }
        hand_over_name(length);
    }
}

void start_control_thread() {
    if (CreateThread(nullptr, 0, control_thread, nullptr, 0, nullptr)) return;
    // Nothing would ever read standard input, so nothing could stop the
    // player: it ends at once, before any pass.
    write_text("smfstream: cannot start the control thread (no thread or memory left); the player ends\n");
    wait_messages_written(messages_wait_ms);
    ExitProcess(1);
}
