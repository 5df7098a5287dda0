#include "playback/file_image.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Opens path for reading in binary mode if it names a regular file, and gives
// its size. Nothing here waits: a FIFO with no writer, a terminal or another
// device is refused, not read.
FILE* open_regular_file(const char* path, uint64_t* size) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
    FILE* file = fopen(path, "rb");
    if (!file) return nullptr;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    LARGE_INTEGER length;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &length) || length.QuadPart < 0) {
        fclose(file);
        return nullptr;
    }
    *size = uint64_t(length.QuadPart);
    return file;
#else
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
        close(fd);
        return nullptr;
    }
    // A regular file's reads never wait; the flag only mattered for the open.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "rb");
    if (!file) {
        close(fd);
        return nullptr;
    }
    *size = uint64_t(status.st_size);
    return file;
#endif
}

}  // namespace

uint8_t* load_file_image(const char* path, size_t* size) {
    uint64_t length = 0;
    FILE* file = open_regular_file(path, &length);
    if (!file) return nullptr;
    if (length > largest_file_image) {
        fclose(file);
        *size = length < SIZE_MAX ? size_t(length) : SIZE_MAX;
        return nullptr;
    }
    if (length < smf_header_bytes) {
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
