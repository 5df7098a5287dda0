// Builds Standard MIDI Files in memory for the tests: no file from another
// program goes into the repository.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace smf {

using Bytes = std::vector<uint8_t>;

// A variable-length quantity.
inline Bytes quantity(uint32_t value) {
    Bytes out{uint8_t(value & 0x7F)};
    while (value >>= 7) out.insert(out.begin(), uint8_t(0x80 | (value & 0x7F)));
    return out;
}

// One track's bytes, event by event: each call appends a delta time and an event.
struct Track {
    Bytes bytes;

    Track& raw(uint32_t delta, const Bytes& event) {
        Bytes d = quantity(delta);
        bytes.insert(bytes.end(), d.begin(), d.end());
        bytes.insert(bytes.end(), event.begin(), event.end());
        return *this;
    }
    Track& note_on(uint32_t delta, uint8_t channel, uint8_t key, uint8_t velocity) {
        return raw(delta, {uint8_t(0x90 | channel), key, velocity});
    }
    Track& note_off(uint32_t delta, uint8_t channel, uint8_t key) {
        return raw(delta, {uint8_t(0x80 | channel), key, 0});
    }
    Track& program(uint32_t delta, uint8_t channel, uint8_t number) {
        return raw(delta, {uint8_t(0xC0 | channel), number});
    }
    Track& tempo(uint32_t delta, uint32_t microseconds_per_quarter) {
        return raw(delta, {0xFF, 0x51, 0x03, uint8_t(microseconds_per_quarter >> 16),
                           uint8_t(microseconds_per_quarter >> 8), uint8_t(microseconds_per_quarter)});
    }
    Track& meta(uint32_t delta, uint8_t type, const Bytes& data) {
        Bytes event{0xFF, type};
        Bytes length = quantity(uint32_t(data.size()));
        event.insert(event.end(), length.begin(), length.end());
        event.insert(event.end(), data.begin(), data.end());
        return raw(delta, event);
    }
    Track& text(uint32_t delta, const std::string& words) { return meta(delta, 0x01, Bytes(words.begin(), words.end())); }
    Track& sysex(uint32_t delta, const Bytes& data) {
        Bytes event{0xF0};
        Bytes length = quantity(uint32_t(data.size()));
        event.insert(event.end(), length.begin(), length.end());
        event.insert(event.end(), data.begin(), data.end());
        return raw(delta, event);
    }
    Track& end(uint32_t delta = 0) { return raw(delta, {0xFF, 0x2F, 0x00}); }
};

// A whole file: header (format, track count, division) and one MTrk chunk per
// track. track_count overrides the header's count (to test lying headers).
inline Bytes file(const std::vector<Track>& tracks, uint16_t division = 96, uint16_t format = 1,
                  int track_count = -1) {
    uint16_t count = track_count < 0 ? uint16_t(tracks.size()) : uint16_t(track_count);
    Bytes out{'M', 'T', 'h', 'd', 0, 0, 0, 6, uint8_t(format >> 8), uint8_t(format), uint8_t(count >> 8),
              uint8_t(count), uint8_t(division >> 8), uint8_t(division)};
    for (const Track& track : tracks) {
        uint32_t size = uint32_t(track.bytes.size());
        Bytes chunk{'M', 'T', 'r', 'k', uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
        out.insert(out.end(), chunk.begin(), chunk.end());
        out.insert(out.end(), track.bytes.begin(), track.bytes.end());
    }
    return out;
}

// The SMPTE form of the time division: frames per second (24, 25, 29 for
// 29.97, 30) and ticks per frame.
inline uint16_t smpte_division(int frames_per_second, uint8_t ticks_per_frame) {
    return uint16_t(uint8_t(-frames_per_second) << 8 | ticks_per_frame);
}

}  // namespace smf
