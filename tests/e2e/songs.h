// The Standard MIDI Files the end-to-end tests play, built in memory.
#pragma once

#include <cstdint>
#include <string>

#include "support/smf_writer.h"

namespace songs {

// 96 ticks per quarter note at the default 500000 us per quarter: 192 ticks a second.
constexpr uint16_t ppqn = 96;
constexpr uint32_t ticks_per_second = 192;

// Notes on `key`, one every `step` ticks (note-on then note-off half a step
// later), `count` of them: 2 * count records.
inline smf::Bytes notes(uint8_t key, uint32_t count, uint32_t step = 19) {
    smf::Track track;
    for (uint32_t i = 0; i < count; ++i) {
        track.note_on(i == 0 ? 0 : step - step / 2, 0, key, 100);
        track.note_off(step / 2, 0, key);
    }
    track.end();
    return smf::file({track}, ppqn);
}

// About `seconds` of notes, one every 0.1 s: fits one buffer up to 25 seconds.
inline smf::Bytes long_song(uint8_t key, uint32_t seconds) { return notes(key, seconds * 10); }

// A note on `key` and nothing more, a tenth of a second long.
inline smf::Bytes short_song(uint8_t key) { return notes(key, 1); }

// The key of a note-on record's word, or -1 for any other record.
inline int note_on_key(uint32_t word) { return (word & 0xF0) == 0x90 ? int((word >> 8) & 0x7F) : -1; }

// Whether text is only end-of-pass markers.
inline bool only_markers(const std::string& text) { return text.find_first_not_of('1') == std::string::npos; }

}  // namespace songs
