#include "playback/file_image.h"

#include <cstdio>
#include <cstdlib>

uint8_t* load_file_image(const char* path, size_t* size) {
    FILE* file = fopen(path, "rb");
    if (!file) return nullptr;
    fseek(file, 0, SEEK_END);
    long length = ftell(file);
    fseek(file, 0, SEEK_SET);
    if (length < static_cast<long>(smf_header_bytes)) {
        // Too short for the header, or not a file that has a size (a folder).
        fclose(file);
        return nullptr;
    }
    uint8_t* image = static_cast<uint8_t*>(malloc(static_cast<size_t>(length)));
    if (!image) {
        fclose(file);
        return nullptr;
    }
    size_t got = fread(image, 1, static_cast<size_t>(length), file);
    fclose(file);
    if (got != static_cast<size_t>(length)) {
        free(image);
        return nullptr;
    }
    *size = static_cast<size_t>(length);
    return image;
}

uint16_t header_track_count(const uint8_t* image) { return uint16_t(image[10] << 8 | image[11]); }

uint16_t header_time_division(const uint8_t* image) { return uint16_t(image[12] << 8 | image[13]); }

TrackCursor* build_track_table(const uint8_t* image, size_t size, uint32_t* count) {
    uint32_t announced = header_track_count(image);
    // No more entries than chunk headers fit in the image (a lying count of
    // 65535 would otherwise take 2.6 MB), and at least one, so that an empty
    // table is not mistaken for a failed allocation.
    size_t room = (size - smf_header_bytes) / 8;
    size_t entries = announced < room ? announced : room;
    TrackCursor* tracks = static_cast<TrackCursor*>(malloc(sizeof(TrackCursor) * (entries ? entries : 1)));
    if (!tracks) return nullptr;

    const uint8_t* end = image + size;
    size_t offset = smf_header_bytes;
    uint32_t present = 0;
    // The chunk identifiers are not examined: the first chunks are the tracks.
    while (present < announced && size - offset >= 8) {
        const uint8_t* chunk = image + offset;
        uint64_t length = uint64_t(chunk[4]) << 24 | uint64_t(chunk[5]) << 16 | uint64_t(chunk[6]) << 8 | chunk[7];
        uint64_t next = offset + 8 + length;
        TrackCursor& track = tracks[present++];
        track.chunk_start = chunk;
        track.cursor = chunk + 8;
        track.running_status = 0;
        track.time = 0;
        track.chunk_end = next < size ? image + next : end;
        if (next >= size) break;
        offset = static_cast<size_t>(next);
    }
    *count = present;
    return tracks;
}
