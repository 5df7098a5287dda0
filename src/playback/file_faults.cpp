#include "playback/file_faults.h"

#include "playback/file_image.h"
#include "playback/track_merger.h"
#include "state/messages.h"

namespace {

unsigned offset_of(const uint8_t* at, const uint8_t* image) { return unsigned(at - image); }

}  // namespace

void say_chunk_faults(const char* path, const uint8_t* image, const uint8_t* smf, size_t smf_size,
                      const TrackCursor* tracks, uint32_t track_count) {
    const uint8_t* end = smf + smf_size;
    for (uint32_t t = 0; t < track_count; ++t) {
        const TrackCursor& track = tracks[t];
        if (uint64_t(track.chunk_start - smf) + 8 + chunk_length(track.chunk_start) > smf_size)
            write_message("%s: track %u's chunk at offset 0x%x runs past the end of the file (0x%x)\n", path,
                          unsigned(t + 1), offset_of(track.chunk_start, image), offset_of(end, image));
    }
    const uint32_t announced = header_track_count(smf);
    if (track_count < announced)
        write_message("%s: track %u is missing: the file ends at offset 0x%x (the header announces %u tracks)\n", path,
                      unsigned(track_count + 1), offset_of(end, image), unsigned(announced));
}

void say_cut_tracks(const char* path, const uint8_t* image, TrackCursor* tracks, uint32_t track_count) {
    // Only when the merge has found one: a look at every track after every
    // fill would hold up the next buffer of a file of 65,535 tracks.
    if (track_count == 0 || !tracks[0].merge_found_cut) return;
    tracks[0].merge_found_cut = false;
    for (uint32_t t = 0; t < track_count; ++t) {
        TrackCursor& track = tracks[t];
        if (track.cut_said || !track_cut_off(track)) continue;
        track.cut_said = true;
        write_message("%s: track %u is cut off at offset 0x%x (no End of Track)\n", path, unsigned(t + 1),
                      offset_of(track.cursor, image));
    }
}
