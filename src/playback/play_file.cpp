#include "playback/play_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "playback/file_image.h"
#include "playback/track_merger.h"
#include "state/messages.h"
#include "state/player_state.h"

void CALLBACK stream_callback(HMIDIOUT, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message != MOM_DONE) return;
    EnterCriticalSection(&player_state.lock);
    if (player_state.wake_event) SetEvent(player_state.wake_event);
    LeaveCriticalSection(&player_state.lock);
}

bool name_arrived_since_pass_start() {
    EnterCriticalSection(&player_state.lock);
    bool arrived = player_state.names_received != player_state.pass_names_seen;
    LeaveCriticalSection(&player_state.lock);
    return arrived;
}

namespace {

// Publishes the pass's stream and event to the control thread, or withdraws
// them (null) before they are closed, so that a closed handle is never used.
// A name (or the end of the process) that came while the pass was opening,
// with no event to signal yet, wakes the pass at its first wait.
void publish(HMIDISTRM stream, HANDLE wake) {
    EnterCriticalSection(&player_state.lock);
    player_state.stream_handle = stream;
    player_state.wake_event = wake;
    if (wake && (player_state.names_received != player_state.pass_names_seen || player_state.stopping)) SetEvent(wake);
    LeaveCriticalSection(&player_state.lock);
}

void say(const char* text) { write_text(text); }

}  // namespace

int play_file(const char* path) {
    player_state.last_event_time = 0;
    player_state.pass_played_through = false;
    bool placed = false;

    size_t size = 0;
    uint8_t* image = load_file_image(path, &size);
    if (!image) {
        if (size > largest_file_image)
            write_message("could not open %s: larger than %u MiB\n", path, unsigned(largest_file_image >> 20));
        else
            write_message("could not open %s\n", path);
        return 0;
    }

    uint32_t track_count = 0;
    uint16_t division = header_time_division(image);
    TrackCursor* tracks = build_track_table(image, size, &track_count);
    uint8_t* events = nullptr;
    HANDLE wake = nullptr;
    HMIDISTRM stream = nullptr;
    MIDIHDR header = {};
    MIDIPROPTIMEDIV time_division = {};
    UINT device = player_state.device_id;

    if (!tracks) goto free_image;
    events = static_cast<uint8_t*>(calloc(1, event_buffer_bytes));
    if (!events) goto free_tracks;

    wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!wake) goto free_events;

    if (midiStreamOpen(&stream, &device, 1, reinterpret_cast<DWORD_PTR>(stream_callback), 0, CALLBACK_FUNCTION) !=
        MMSYSERR_NOERROR)
        goto close_event;
    publish(stream, wake);

    time_division.cbStruct = sizeof time_division;
    time_division.dwTimeDiv = division;
    if (midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&time_division), MIDIPROP_SET | MIDIPROP_TIMEDIV) !=
        MMSYSERR_NOERROR)
        goto close_stream;

    header.lpData = reinterpret_cast<LPSTR>(events);
    header.dwBufferLength = event_buffer_declared;
    header.dwBytesRecorded = event_buffer_declared;
    header.dwFlags = 0;
    if (midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(stream), &header, sizeof header) != MMSYSERR_NOERROR)
        goto close_stream;
    if (midiStreamRestart(stream) != MMSYSERR_NOERROR) goto unprepare;

    say("buffering...\n");
    for (;;) {
        uint32_t bytes = 0;
        fill_events(tracks, track_count, events, &bytes);
        if (bytes == 0) {
            player_state.pass_played_through = placed;
            say("done.\n");
            break;
        }
        placed = true;
        header.dwBytesRecorded = bytes;
        if (midiStreamOut(stream, &header, sizeof header) != MMSYSERR_NOERROR) break;
        WaitForSingleObject(wake, INFINITE);
        // The process is ending: straight to the teardown, with nothing to say.
        if (stop_requested()) break;
        if (!name_arrived_since_pass_start()) {
            say("buffering...\n");
            continue;
        }
        // Handed to the writer (never written) under the lock: it names the
        // newest name, after that name's own message.
        EnterCriticalSection(&player_state.lock);
        write_message("switch to new file %s.\n", player_state.current_path);
        LeaveCriticalSection(&player_state.lock);
        say("done.\n");
        break;
    }

    // Teardown: each failure above enters it at the step that matches what it holds.
    midiOutReset(reinterpret_cast<HMIDIOUT>(stream));
unprepare:
    midiOutUnprepareHeader(reinterpret_cast<HMIDIOUT>(stream), &header, sizeof header);
close_stream:
    publish(nullptr, nullptr);
    midiStreamClose(stream);
close_event:
    CloseHandle(wake);
free_events:
    free(events);
free_tracks:
    free(tracks);
free_image:
    free(image);
    return 0;
}
