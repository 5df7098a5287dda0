#include "playback/file_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

namespace {

uint32_t big_endian_32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t little_endian_32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

bool is_id(const uint8_t* p, const char* id) { return memcmp(p, id, 4) == 0; }

// The header chunk's own length at smf; the first chunk begins after it.
uint64_t header_chunk_end(const uint8_t* smf) { return 8 + uint64_t(big_endian_32(smf + 4)); }

// An "MThd" chunk of at least 6 bytes, whole within size.
bool read_smf(const uint8_t* smf, size_t size) {
    if (size < smf_header_bytes || !is_id(smf, "MThd")) return false;
    return big_endian_32(smf + 4) >= 6 && header_chunk_end(smf) <= size;
}

// The "data" chunk of a RIFF "RMID" file; its chunks are little-endian and
// padded to an even length.
const uint8_t* read_riff(const uint8_t* image, size_t size, size_t* data_size) {
    if (size < 12 || !is_id(image, "RIFF") || !is_id(image + 8, "RMID")) return nullptr;
    uint64_t offset = 12;
    while (offset + 8 <= size) {
        const uint8_t* chunk = image + offset;
        uint64_t length = little_endian_32(chunk + 4);
        uint64_t room = size - (offset + 8);
        if (is_id(chunk, "data")) {
            *data_size = static_cast<size_t>(length < room ? length : room);
            return chunk + 8;
        }
        offset += 8 + length + (length & 1);
    }
    return nullptr;
}

}  // namespace

const uint8_t* find_standard_midi_file(const uint8_t* image, size_t size, size_t* smf_size) {
    if (read_smf(image, size)) {
        *smf_size = size;
        return image;
    }
    size_t data_size = 0;
    const uint8_t* data = read_riff(image, size, &data_size);
    if (!data || !read_smf(data, data_size)) return nullptr;
    *smf_size = data_size;
    return data;
}

uint32_t chunk_length(const uint8_t* chunk) { return big_endian_32(chunk + 4); }

uint16_t header_track_count(const uint8_t* smf) { return uint16_t(smf[10] << 8 | smf[11]); }

uint16_t header_time_division(const uint8_t* smf) { return uint16_t(smf[12] << 8 | smf[13]); }

TrackCursor* build_track_table(const uint8_t* smf, size_t size, uint32_t* count) {
    uint32_t announced = header_track_count(smf);
    // The chunks begin after the header chunk, however long it says it is
    // (never inside the 14 bytes whose fields are read).
    uint64_t first = header_chunk_end(smf);
    if (first < smf_header_bytes) first = smf_header_bytes;
    // No more entries than chunk headers fit in the image (a lying count of
    // 65535 would otherwise take 2.6 MB), and at least one, so that an empty
    // table is not mistaken for a failed allocation.
    size_t room = first < size ? static_cast<size_t>((size - first) / 8) : 0;
    size_t entries = announced < room ? announced : room;
    TrackCursor* tracks = static_cast<TrackCursor*>(malloc(sizeof(TrackCursor) * (entries ? entries : 1)));
    if (!tracks) return nullptr;

    const uint8_t* end = smf + size;
    uint64_t offset = first;
    uint32_t present = 0;
    while (present < announced && offset + 8 <= size) {
        const uint8_t* chunk = smf + offset;
        uint64_t next = offset + 8 + chunk_length(chunk);
        if (is_id(chunk, "MTrk")) {
            TrackCursor& track = tracks[present++];
            track.chunk_start = chunk;
            track.cursor = chunk + 8;
            track.running_status = 0;
            track.time = 0;
            track.chunk_end = next < size ? smf + next : end;
            track.cut_said = false;
            track.merge_heap_size = 0;  // the merge has not begun
            track.heap_track = 0;
            track.next_time = 0;
            track.merge_found_cut = false;
        }
        offset = next;
    }
    *count = present;
    return tracks;
}
