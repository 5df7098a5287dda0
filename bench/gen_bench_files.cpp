// Writes the benchmark's Standard MIDI Files, all made here (no file from
// another program):
//   dense_piano.mid    two hands, five-note chords in 32nd notes, pedal; ~190 events/s
//   many_tracks.mid    256 tracks, staggered notes on every one; ~255 events/s
//   tempo_changes.mid  a tempo change every 64th note, tempos that are not whole
//                      microseconds per tick, 16th notes beside them
//   smpte.mid          SMPTE division (30 frames of 80 ticks), a tempo event that
//                      such a division ignores, irregular delta times
//   long.mid           a steady piece of the given length at 472441 us per quarter
//                      (984.25 us per tick), for the drift over a long pass
//   loop.mid           a one-beat note in a two-beat bar at 50000 us per quarter:
//                      0.1 s a pass, its second half a closing rest, for the
//                      seam between passes
//
// Usage: gen_bench_files OUT_DIR SHORT_SECONDS LONG_SECONDS
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/smf_writer.h"

namespace {

using smf::Track;

// A small deterministic generator, so that every run writes the same files.
struct Random {
    uint32_t state;
    uint32_t next(uint32_t bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    }
};

bool write(const std::string& path, const smf::Bytes& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) {
        perror(path.c_str());
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = fclose(out) == 0 && ok;
    return ok;
}

// Events of one track at absolute ticks, written out with delta times.
struct Timeline {
    Track track;
    uint32_t now = 0;
    // The delta time to tick, which becomes the new now.
    uint32_t delta_to(uint32_t tick) {
        if (tick < now) abort();
        uint32_t delta = tick - now;
        now = tick;
        return delta;
    }
    void on(uint32_t tick, uint8_t ch, uint8_t key, uint8_t vel) { track.note_on(delta_to(tick), ch, key, vel); }
    void off(uint32_t tick, uint8_t ch, uint8_t key) { track.note_off(delta_to(tick), ch, key); }
    void cc(uint32_t tick, uint8_t ch, uint8_t number, uint8_t value) {
        track.raw(delta_to(tick), {uint8_t(0xB0 | ch), number, value});
    }
    void program(uint32_t tick, uint8_t ch, uint8_t number) { track.program(delta_to(tick), ch, number); }
    void tempo(uint32_t tick, uint32_t us) { track.tempo(delta_to(tick), us); }
    void end(uint32_t tick) { track.end(delta_to(tick)); }
};

// A note list sorted by time is what Timeline needs; gather, sort, emit.
struct Note {
    uint32_t tick;
    int kind;  // 0 off, 1 on, 2 controller (key = number, vel = value); offs first on a tie
    uint8_t ch, key, vel;
};

Track emit(std::vector<Note> notes, uint32_t end_tick) {
    std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.kind < b.kind;
    });
    Timeline t;
    for (const Note& n : notes) {
        if (n.kind == 0) t.off(n.tick, n.ch, n.key);
        else if (n.kind == 1) t.on(n.tick, n.ch, n.key, n.vel);
        else t.cc(n.tick, n.ch, n.key, n.vel);
    }
    t.end(std::max(end_tick, t.now));
    return t.track;
}

smf::Bytes dense_piano(double seconds) {
    const uint16_t division = 480;  // 120 bpm: 960 ticks a second
    const uint32_t end = uint32_t(seconds * 960);
    Random r{1};
    Timeline conductor;
    conductor.program(0, 0, 0);
    conductor.tempo(0, 500000);
    conductor.end(end);

    std::vector<Note> right, left;
    for (uint32_t t = 0; t + 60 <= end; t += 60) {  // 32nd-note chords of five
        uint8_t root = uint8_t(60 + r.next(12));
        const uint8_t shape[5] = {0, 4, 7, 12, 16};
        for (uint8_t s : shape) {
            right.push_back({t, 1, 0, uint8_t(root + s), uint8_t(40 + r.next(80))});
            right.push_back({t + 55, 0, 0, uint8_t(root + s), 0});
        }
    }
    for (uint32_t t = 0; t + 120 <= end; t += 120) {  // 16th-note fifths
        uint8_t root = uint8_t(36 + r.next(12));
        for (uint8_t s : {uint8_t(0), uint8_t(7)}) {
            left.push_back({t, 1, 1, uint8_t(root + s), uint8_t(50 + r.next(60))});
            left.push_back({t + 110, 0, 1, uint8_t(root + s), 0});
        }
    }
    for (uint32_t t = 0; t + 1920 <= end; t += 1920) {  // the pedal, each bar
        left.push_back({t + 5, 2, 1, 64, 127});
        left.push_back({t + 1900, 2, 1, 64, 0});
    }
    return smf::file({conductor.track, emit(right, end), emit(left, end)}, division);
}

smf::Bytes many_tracks(double seconds) {
    const uint16_t division = 480;
    const uint32_t end = uint32_t(seconds * 960);
    Timeline conductor;
    conductor.tempo(0, 500000);
    conductor.end(end);
    std::vector<Track> tracks{conductor.track};
    Random r{2};
    for (int i = 1; i < 256; ++i) {
        std::vector<Note> notes;
        uint8_t ch = uint8_t(i % 16);
        for (uint32_t t = uint32_t(i * 7 % 1920); t + 240 <= end; t += 1920) {
            uint8_t key = uint8_t(40 + r.next(48));
            notes.push_back({t, 1, ch, key, 80});
            notes.push_back({t + 240, 0, ch, key, 0});
        }
        tracks.push_back(emit(notes, end));
    }
    return smf::file(tracks, division);
}

smf::Bytes tempo_changes(double seconds) {
    const uint16_t division = 96;
    // Tempos between 300000 and 700000 us per quarter: 0.4 s a quarter on average,
    // 240 ticks a second.
    const uint32_t end = uint32_t(seconds * 240);
    Timeline conductor;
    for (uint32_t t = 0, k = 0; t < end; t += 6, ++k)
        conductor.tempo(t, uint32_t(500000 + 200000 * std::sin(k / 20.0)) | 1);
    conductor.end(end);
    std::vector<Note> notes;
    Random r{3};
    for (uint32_t t = 0; t + 24 <= end; t += 24) {
        uint8_t key = uint8_t(60 + r.next(24));
        notes.push_back({t, 1, 0, key, 90});
        notes.push_back({t + 23, 0, 0, key, 0});
    }
    return smf::file({conductor.track, emit(notes, end)}, division);
}

smf::Bytes smpte(double seconds) {
    // 30 frames of 80 ticks: 2400 ticks a second, 416.67 us a tick. A tempo
    // event does not change the speed of such a file.
    const uint16_t division = smf::smpte_division(30, 80);
    const uint32_t end = uint32_t(seconds * 2400);
    Timeline first;
    first.tempo(0, 250000);
    std::vector<Note> a, b;
    Random r{4};
    const uint32_t steps[] = {50, 37, 80, 123, 61, 200};
    uint32_t i = 0;
    for (uint32_t t = 0; t + 240 <= end; t += steps[i++ % 6]) {
        uint8_t key = uint8_t(48 + r.next(36));
        a.push_back({t, 1, 2, key, 100});
        a.push_back({t + 31 + r.next(200), 0, 2, key, 0});
    }
    for (uint32_t t = 17; t + 480 <= end; t += 480 + 13) {
        b.push_back({t, 1, 3, 40, 100});
        b.push_back({t + 470, 0, 3, 40, 0});
    }
    Track notes_a = emit(a, end);
    // The tempo event leads the first track; its notes follow it.
    first.track.bytes.insert(first.track.bytes.end(), notes_a.bytes.begin(), notes_a.bytes.end());
    return smf::file({first.track, emit(b, end)}, division);
}

smf::Bytes long_piece(double seconds) {
    const uint16_t division = 480;
    const uint32_t tempo = 472441;  // 984.25 us a tick
    const uint32_t end = uint32_t(seconds * 1e6 / (double(tempo) / division));
    Timeline conductor;
    conductor.tempo(0, tempo);
    conductor.end(end);
    std::vector<Note> melody, bass;
    Random r{5};
    for (uint32_t t = 0; t + 240 <= end; t += 240) {
        uint8_t key = uint8_t(64 + r.next(16));
        melody.push_back({t, 1, 0, key, uint8_t(60 + r.next(40))});
        melody.push_back({t + 233, 0, 0, key, 0});
    }
    for (uint32_t t = 7; t + 480 <= end; t += 480) {
        uint8_t key = uint8_t(36 + r.next(12));
        bass.push_back({t, 1, 1, key, 90});
        bass.push_back({t + 457, 0, 1, key, 0});
        if (t % 1920 == 7) {
            bass.push_back({t + 1, 2, 1, 7, uint8_t(100 + r.next(27))});
        }
    }
    // The last event of the piece falls exactly on its last tick.
    bass.push_back({end, 1, 1, 30, 1});
    return smf::file({conductor.track, emit(melody, end), emit(bass, end)}, division);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "Usage: %s OUT_DIR SHORT_SECONDS LONG_SECONDS\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    double short_seconds = atof(argv[2]);
    double long_seconds = atof(argv[3]);
    if (short_seconds <= 0 || long_seconds <= 0) {
        fprintf(stderr, "lengths must be positive\n");
        return 2;
    }
    bool ok = write(dir + "/dense_piano.mid", dense_piano(short_seconds)) &&
              write(dir + "/many_tracks.mid", many_tracks(short_seconds)) &&
              write(dir + "/tempo_changes.mid", tempo_changes(short_seconds)) &&
              write(dir + "/smpte.mid", smpte(short_seconds)) &&
              write(dir + "/long.mid", long_piece(long_seconds)) &&
              write(dir + "/loop.mid", smf::file({Track{}.tempo(0, 50000).note_on(0, 0, 60, 100).note_off(96, 0, 60).end(96)}, 96));
    return ok ? 0 : 1;
}
