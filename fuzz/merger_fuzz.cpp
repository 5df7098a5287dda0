// Arbitrary bytes as a file image: find the Standard MIDI File in it and build
// the track table the way a pass does, and drain the merger to the end. Any
// read outside the image, a malformed byte count, a closing no-op that is not
// the merge's last record or a merge that does not finish is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "playback/file_image.h"
#include "playback/track_merger.h"
#include "state/player_state.h"

namespace {

[[noreturn]] void finding(const char* what, size_t value) {
    fprintf(stderr, "merger_fuzz: %s (%zu)\n", what, value);
    abort();
}

uint32_t word_at(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < smf_header_bytes) return 0;  // the loader refuses it

    // An exactly-sized block, so that AddressSanitizer sees a read past its end.
    uint8_t* image = static_cast<uint8_t*>(malloc(size));
    if (!image) return 0;
    memcpy(image, data, size);

    size_t smf_size = 0;
    const uint8_t* smf = find_standard_midi_file(image, size, &smf_size);
    if (!smf) {  // the pass refuses it
        free(image);
        return 0;
    }
    if (smf < image || smf_size < smf_header_bytes || smf_size > size_t(image + size - smf))
        finding("file found outside the image, size", smf_size);

    uint32_t track_count = 0;
    TrackCursor* tracks = build_track_table(smf, smf_size, &track_count);
    if (!tracks) finding("no track table", size);
    if (track_count > header_track_count(smf)) finding("more tracks than announced", track_count);

    static uint8_t buffer[event_buffer_bytes];
    player_state.last_event_time = 0;
    uint32_t ticks = 0;  // the sum of every delta placed

    // Every record consumes at least two bytes of the image (a delta time and
    // a data byte), and every call but the last two places 511 of them.
    const size_t call_bound = size / 2 / max_records_per_fill + 2;
    size_t calls = 0;
    bool closed = false;  // a no-op has been placed
    for (;;) {
        if (++calls > call_bound) finding("merge did not finish; calls", calls);
        memset(buffer, 0xA5, event_buffer_declared);
        uint32_t bytes = 0xDEADBEEF;
        if (fill_events(tracks, track_count, buffer, &bytes) != 1) finding("fill_events refused", 0);
        if (bytes % record_bytes != 0) finding("byte count not whole records", bytes);
        if (bytes > max_records_per_fill * record_bytes) finding("byte count over 6132", bytes);
        for (size_t at = bytes; at < event_buffer_declared; ++at)
            if (buffer[at] != 0xA5) finding("written past the records placed at", at);
        if (closed && bytes != 0) finding("records after the closing no-op", bytes);
        for (uint32_t at = 0; at < bytes; at += record_bytes) {
            ticks += word_at(buffer + at);
            if (word_at(buffer + at + 4) != 0) finding("stream id not 0 at", at);
            uint32_t event = word_at(buffer + at + 8);
            uint32_t kind = event >> 24;
            if (kind != 0 && kind != 1 && event != 0x02000000) finding("event neither short, tempo nor no-op", event);
            if (event == 0x02000000) {
                if (at + record_bytes != bytes) finding("no-op not the last record, at", at);
                if (word_at(buffer + at) == 0) finding("no-op without a rest", at);
                closed = true;
            }
        }
        if (ticks != player_state.last_event_time) finding("deltas do not add up to last_event_time", ticks);
        if (bytes == 0) break;
    }
    for (uint32_t t = 0; t < track_count; ++t)
        if (tracks[t].cursor < tracks[t].chunk_start + 8 || tracks[t].cursor > tracks[t].chunk_end ||
            tracks[t].chunk_start < smf || tracks[t].chunk_end > smf + smf_size)
            finding("cursor outside its chunk, track", t);

    free(tracks);
    free(image);
    return 0;
}
