// Arbitrary bytes as a file image played with loop points: a first pass and a
// later one (from the loop start) drained to the end. Any read outside the
// image, a malformed byte count, a pass that does not finish or a note still
// sounding at its end is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "playback/file_image.h"
#include "playback/loop_points.h"
#include "state/player_state.h"

namespace {

[[noreturn]] void finding(const char* what, size_t value) {
    fprintf(stderr, "loop_points_fuzz: %s (%zu)\n", what, value);
    abort();
}

uint32_t word_at(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Drains one pass; the tracks are fresh from the image.
void play_pass(const uint8_t* smf, size_t smf_size, size_t image_size, bool later) {
    uint32_t track_count = 0;
    TrackCursor* tracks = build_track_table(smf, smf_size, &track_count);
    if (!tracks) finding("no track table", smf_size);
    player_state.last_event_time = 0;
    LoopPass* loop = start_loop_pass("fuzz", tracks, track_count, later, false);
    if (!loop) {
        free(tracks);
        return;
    }
    static uint8_t buffer[event_buffer_bytes];
    // The merge's records, the restored state (a few thousand records at
    // most) and an end for each of 2048 notes.
    const size_t call_bound = image_size / 2 / max_records_per_fill + 20;
    bool sounding[16][128] = {};
    for (size_t calls = 0;; ++calls) {
        if (calls > call_bound) finding("pass did not finish; calls", calls);
        memset(buffer, 0xA5, event_buffer_declared);
        uint32_t bytes = 0xDEADBEEF;
        fill_loop_events(loop, tracks, track_count, buffer, &bytes);
        if (bytes % record_bytes != 0) finding("byte count not whole records", bytes);
        if (bytes > max_records_per_fill * record_bytes) finding("byte count over 6132", bytes);
        for (size_t at = bytes; at < event_buffer_declared; ++at)
            if (buffer[at] != 0xA5) finding("written past the records placed at", at);
        for (uint32_t at = 0; at < bytes; at += record_bytes) {
            const uint32_t event = word_at(buffer + at + 8);
            if (event >> 24 || !(event & 0x80)) continue;
            const uint32_t kind = event & 0xF0, channel = event & 0x0F, key = (event >> 8) & 0x7F;
            if (kind == 0x90 && (event >> 16 & 0xFF) != 0) sounding[channel][key] = true;
            if (kind == 0x80 || (kind == 0x90 && (event >> 16 & 0xFF) == 0)) sounding[channel][key] = false;
        }
        if (bytes == 0) break;
    }
    for (uint32_t channel = 0; channel < 16; ++channel)
        for (uint32_t key = 0; key < 128; ++key)
            if (sounding[channel][key]) finding("a note sounds past the loop end, key", channel * 128 + key);
    free(loop);
    free(tracks);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < smf_header_bytes) return 0;
    uint8_t* image = static_cast<uint8_t*>(malloc(size));
    if (!image) return 0;
    memcpy(image, data, size);
    size_t smf_size = 0;
    if (const uint8_t* smf = find_standard_midi_file(image, size, &smf_size)) {
        play_pass(smf, smf_size, size, false);
        play_pass(smf, smf_size, size, true);
    }
    free(image);
    return 0;
}
