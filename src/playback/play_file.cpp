#include "playback/play_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "playback/file_faults.h"
#include "playback/file_image.h"
#include "playback/loop_points.h"
#include "playback/track_merger.h"
#include "state/messages.h"
#include "state/player_state.h"

// The instance data is the pass's wake_event: the callback takes no lock, so a
// driver that calls back from inside one of our calls cannot wait on us. The
// event outlives the stream: midiStreamClose returns after the last callback.
void CALLBACK stream_callback(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message == MOM_DONE) SetEvent(reinterpret_cast<HANDLE>(instance));
}

bool name_arrived_since_pass_start() {
    EnterCriticalSection(&player_state.lock);
    bool arrived = player_state.names_received != player_state.pass_names_seen;
    LeaveCriticalSection(&player_state.lock);
    return arrived;
}

namespace {

// Publishes the pass's stream and event to the control thread, or withdraws
// them (null) before they are closed, so that a closed handle is never used:
// a withdrawal waits for a volume call on the stream still in progress.
// (A name, or the end of the process, that came before the event was
// published is seen by the pass before it queues its first buffer.)
void publish(HMIDISTRM stream, HANDLE wake) {
    EnterCriticalSection(&player_state.lock);
    player_state.stream_handle = stream;
    player_state.wake_event = wake;
    while (!stream && player_state.stream_users) {
        LeaveCriticalSection(&player_state.lock);
        WaitForSingleObject(player_state.stream_released, INFINITE);
        EnterCriticalSection(&player_state.lock);
    }
    LeaveCriticalSection(&player_state.lock);
}

// Why the pass ends before its next buffer: the process is ending, or a name
// has arrived since it took its path.
enum class Ending { none, stop, name };

Ending ending() {
    if (stop_requested()) return Ending::stop;
    return name_arrived_since_pass_start() ? Ending::name : Ending::none;
}

// Handed to the writer (never written) under the lock: it names the newest
// name, after that name's own message.
void say_switch() {
    static char shown[shown_name_bytes];  // the main thread's alone
    EnterCriticalSection(&player_state.lock);
    write_message("switch to new file %s.\n", show_text(player_state.current_path, shown, sizeof shown));
    LeaveCriticalSection(&player_state.lock);
    write_text("done.\n");
}

void say(const char* text) { write_text(text); }

// A platform step of the pass that failed, and its result code.
void say_failed(const char* call, MMRESULT result) { write_message("%s failed: %u\n", call, unsigned(result)); }

// Follows the records of one fill as the stream will play them: whether any
// of them lets musical time pass, that is a delta time above 0 while the
// tempo in force is above 0 (the SMPTE form of the division ignores the
// tempo). *tempo_zero carries the tempo's state from one fill to the next;
// a stream starts at a tempo above 0.
bool time_passes(const uint8_t* events, uint32_t bytes, bool smpte, bool* tempo_zero) {
    bool passes = false;
    for (uint32_t at = 0; at + record_bytes <= bytes; at += record_bytes) {
        uint32_t words[3];
        memcpy(words, events + at, sizeof words);  // little-endian, as the platform reads them
        if (words[0] != 0 && (smpte || !*tempo_zero)) passes = true;
        if (MEVT_EVENTTYPE(words[2]) == MEVT_TEMPO) *tempo_zero = MEVT_EVENTPARM(words[2]) == 0;
    }
    return passes;
}

// Whether the file's ticks have any length at all: a division of 0 ticks per
// quarter note, or of 0 ticks per SMPTE frame, makes every record due at once.
bool ticks_have_length(uint16_t division) { return (division & 0x8000) ? (division & 0xFF) != 0 : division != 0; }

}  // namespace

int play_file(const char* path) {
    // The messages show the name safely (the file is opened by its own bytes).
    static char shown[shown_name_bytes];  // the main thread's alone
    const char* name = show_text(path, shown, sizeof shown);
    player_state.last_event_time = 0;
    player_state.pass_played_through = false;
    bool time_passed = false;
    bool tempo_zero = false;

    size_t size = 0;
    uint8_t* image = load_file_image(path, &size);
    if (!image) {
        if (size > largest_file_image)
            write_message("could not open %s: larger than %u MiB\n", name, unsigned(largest_file_image >> 20));
        else
            write_message("could not open %s\n", name);
        return 0;
    }

    size_t smf_size = 0;
    const uint8_t* smf = find_standard_midi_file(image, size, &smf_size);
    if (!smf) {
        write_message("not a Standard MIDI File: %s\n", name);
        free(image);
        return 0;
    }

    uint32_t track_count = 0;
    uint16_t division = header_time_division(smf);
    TrackCursor* tracks = build_track_table(smf, smf_size, &track_count);
    LoopPass* loop = nullptr;
    uint8_t* events = nullptr;
    HANDLE wake = nullptr;
    HMIDISTRM stream = nullptr;
    MIDIHDR header = {};
    MIDIPROPTIMEDIV time_division = {};
    UINT device = player_state.device_id;
    MMRESULT result = MMSYSERR_NOERROR;

    if (!tracks) goto free_image;
    // A file replaced while it loaded is not opened at all.
    if (Ending why = ending(); why != Ending::none) {
        if (why == Ending::name) say_switch();
        goto free_tracks;
    }
    // What is wrong with the file is said once per name, not on every pass of a loop.
    if (!player_state.pass_repeats_name) say_chunk_faults(name, image, smf, smf_size, tracks, track_count);
    // With loop points, a pass that plays its name again plays only the loop.
    if (player_state.loop_points)
        loop = start_loop_pass(name, tracks, track_count, player_state.pass_repeats_name,
                               !player_state.pass_repeats_name);
    events = static_cast<uint8_t*>(calloc(1, event_buffer_bytes));
    if (!events) goto free_tracks;

    wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!wake) goto free_events;

    result = midiStreamOpen(&stream, &device, 1, reinterpret_cast<DWORD_PTR>(stream_callback),
                            reinterpret_cast<DWORD_PTR>(wake), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        say_failed("midiStreamOpen", result);
        goto close_event;
    }
    publish(stream, wake);

    time_division.cbStruct = sizeof time_division;
    time_division.dwTimeDiv = division;
    result = midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&time_division), MIDIPROP_SET | MIDIPROP_TIMEDIV);
    if (result != MMSYSERR_NOERROR) {
        say_failed("midiStreamProperty", result);
        goto close_stream;
    }

    header.lpData = reinterpret_cast<LPSTR>(events);
    header.dwBufferLength = event_buffer_declared;
    header.dwBytesRecorded = event_buffer_declared;
    header.dwFlags = 0;
    result = midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(stream), &header, sizeof header);
    if (result != MMSYSERR_NOERROR) {
        say_failed("midiOutPrepareHeader", result);
        goto close_stream;
    }
    result = midiStreamRestart(stream);
    if (result != MMSYSERR_NOERROR) {
        say_failed("midiStreamRestart", result);
        goto unprepare;
    }

    say("buffering...\n");
    for (bool first = true;; first = false) {
        uint32_t bytes = 0;
        if (loop)
            fill_loop_events(loop, tracks, track_count, events, &bytes);
        else
            fill_events(tracks, track_count, events, &bytes);
        if (!player_state.pass_repeats_name) say_cut_tracks(name, image, tracks, track_count);
        if (bytes == 0) {
            player_state.pass_played_through = time_passed;
            if (!time_passed) write_message("nothing to play in %s\n", name);
            say("done.\n");
            break;
        }
        if (time_passes(events, bytes, (division & 0x8000) != 0, &tempo_zero) && ticks_have_length(division))
            time_passed = true;
        // Nor does one replaced while its stream opened (a device's first
        // open can take a while): nothing of it is queued.
        if (Ending why = first ? ending() : Ending::none; why != Ending::none) {
            if (why == Ending::name) say_switch();
            break;
        }
        header.dwBytesRecorded = bytes;
        result = midiStreamOut(stream, &header, sizeof header);
        if (result != MMSYSERR_NOERROR) {
            say_failed("midiStreamOut", result);
            break;
        }
        WaitForSingleObject(wake, INFINITE);
        // A name ends the pass with its message; the end of the process
        // sends it straight to the teardown, with nothing to say.
        Ending why = ending();
        if (why == Ending::none) {
            say("buffering...\n");
            continue;
        }
        if (why == Ending::name) say_switch();
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
    free(loop);
    free(tracks);
free_image:
    free(image);
    return 0;
}
