// A few small Standard MIDI Files that exercise every layout and kind of
// event the merger reads: the seed corpus of merger_fuzz (fuzz/make_seeds.cpp
// writes them) and the files the merger's order is checked on.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/smf_writer.h"

namespace smf {

inline std::vector<std::pair<std::string, Bytes>> fuzz_seeds() {
    Track conductor, melody, bass, odd;
    conductor.tempo(0, 500000).text(0, "song").meta(0, 0x58, {4, 2, 24, 8}).tempo(384, 400000).end();
    melody.program(0, 0, 5).note_on(0, 0, 60, 100).raw(96, {62, 100}).raw(96, {60, 0}).raw(0, {0xC0, 7})
        .raw(1, {8}).note_off(95, 0, 62).end();
    bass.raw(0, {0xB1, 7, 100}).raw(0, {10, 64}).raw(0, {0xE1, 0, 64}).raw(48, {0xD1, 30}).raw(0, {40})
        .sysex(10, {0x7E, 0x7F, 0x09, 0x01, 0xF7}).raw(5, {0xA1, 60, 20}).end();
    odd.raw(0, {0x3C, 0x40}).raw(1, {0xF8}).raw(1, {0xF7, 0x01, 0x00}).raw(0x0FFFFFFF, {0x90, 1, 1}).end();

    Track many;
    for (int i = 0; i < 520; ++i) many.raw(i % 3, {uint8_t(i ? 60 + i % 12 : 0x90), 64});
    many.end();

    // The layouts around the tracks: a RIFF RMID wrapper with an odd-sized
    // chunk before its data, an alien chunk before a track, a longer header.
    Bytes song = file({melody});
    Bytes rmid{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D', 'D', 'I', 'S', 'P', 3, 0, 0, 0, 1, 2, 3, 0,
                    'd', 'a', 't', 'a', uint8_t(song.size()), uint8_t(song.size() >> 8), 0, 0};
    rmid.insert(rmid.end(), song.begin(), song.end());
    rmid[4] = uint8_t(rmid.size() - 8);
    rmid[5] = uint8_t((rmid.size() - 8) >> 8);
    Bytes alien = file({bass});
    alien.insert(alien.begin() + 14, {'X', 'F', 'I', 'H', 0, 0, 0, 4, 0x00, 0x90, 0x3C, 0x7F});
    Bytes long_header = file({conductor, melody});
    long_header[7] = 10;
    long_header.insert(long_header.begin() + 14, {1, 2, 3, 4});

    return {
        {"multi_track", file({conductor, melody, bass})},
        {"rmid", rmid},
        {"alien_chunk", alien},
        {"long_header", long_header},
        {"odd_bytes", file({odd, Track{}.end()}, smpte_division(25, 40))},
        {"over_one_buffer", file({many}, 480, 0)},
        {"lying_count", file({melody}, 96, 1, 9)},
        {"no_tracks", file({}, 96, 1, 0)},
    };
}

}  // namespace smf
