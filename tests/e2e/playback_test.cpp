// What the device receives from a pass: every record in order, with its tick
// and the time it is due, under tempo changes and in SMPTE time; and how many
// times the single buffer is filled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "e2e/songs.h"
#include "support/player_run.h"

namespace {

using namespace test;

// One event of a track, at an absolute tick.
struct Placed {
    uint32_t tick;
    smf::Bytes event;
};

smf::Track track_of(const std::vector<Placed>& events) {
    smf::Track track;
    uint32_t now = 0;
    for (const Placed& p : events) {
        track.raw(p.tick - now, p.event);
        now = p.tick;
    }
    return track;
}

smf::Bytes tempo_event(uint32_t us) {
    return {0xFF, 0x51, 0x03, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us)};
}
smf::Bytes end_of_track() { return {0xFF, 0x2F, 0x00}; }

// The record word a channel message or a tempo change becomes.
uint32_t word_of(const smf::Bytes& event) {
    if (event[0] == 0xFF) return 0x01000000u | uint32_t(event[3]) << 16 | uint32_t(event[4]) << 8 | event[5];
    uint32_t word = event[0] | uint32_t(event[1]) << 8;
    if (event.size() > 2) word |= uint32_t(event[2]) << 16;
    return word;
}

struct Expected {
    uint64_t tick;
    double due_us;
    uint32_t word;
    double tolerance_us;
};

// The records of the merged tracks (earliest first, the lower track on a tie),
// then a no-op at the latest End of Track when that comes after them, with
// their exact due times: ticks per quarter note with the tempo in force,
// 500000 us per quarter until the first tempo record, or the SMPTE rate.
std::vector<Expected> expected_records(const std::vector<std::vector<Placed>>& tracks, uint16_t division) {
    struct Item {
        uint32_t tick;
        size_t track, index;
        uint32_t word;
    };
    std::vector<Item> items;
    uint32_t latest_end = 0;
    for (size_t t = 0; t < tracks.size(); ++t)
        for (size_t i = 0; i < tracks[t].size(); ++i) {
            const smf::Bytes& e = tracks[t][i].event;
            bool record = (e[0] >= 0x80 && e[0] < 0xF0) || (e[0] == 0xFF && e[1] == 0x51);
            if (record) items.push_back({tracks[t][i].tick, t, i, word_of(e)});
            if (e == end_of_track()) latest_end = std::max(latest_end, tracks[t][i].tick);
        }
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.track < b.track;
    });
    if (latest_end > (items.empty() ? 0 : items.back().tick)) items.push_back({latest_end, 0, 0, 0x02000000});
    std::vector<Expected> out;
    bool smpte = division & 0x8000;
    double us_per_tick_smpte = 0, relative_tolerance = 0;
    if (smpte) {
        int fps = -int8_t(division >> 8);
        double frames = fps == 29 ? 29.97 : fps;
        us_per_tick_smpte = 1e6 / (frames * (division & 0xFF));
        // 29 stands for 29.97 frames a second, which the platform may take
        // as the exact NTSC rate 30000/1001: one part in a million apart.
        if (fps == 29) relative_tolerance = 1.01e-6;
    }
    double tempo = 500000, base_us = 0;
    uint32_t base_tick = 0;
    for (const Item& item : items) {
        double due = smpte ? item.tick * us_per_tick_smpte
                           : base_us + double(item.tick - base_tick) * tempo / division;
        out.push_back({item.tick, due, item.word, 1.0 + due * relative_tolerance});
        if (!smpte && (item.word >> 24) == 0x01) {
            base_us = due;
            base_tick = item.tick;
            tempo = item.word & 0xFFFFFF;
        }
    }
    return out;
}

// Plays the tracks once (trace-fast) and compares the first stream with what
// the merge and the time division say.
void expect_first_pass(const std::vector<std::vector<Placed>>& tracks, uint16_t division) {
    std::vector<smf::Track> built;
    for (const auto& t : tracks) built.push_back(track_of(t));
    TempDir dir;
    dir.write("song.mid", smf::file(built, division));
    PlayerRun run(dir, "200", "song.mid");
    ASSERT_TRUE(run.child().wait_out_count("1", 1)) << run.child().err();
    run.child().close_stdin();
    ExitStatus status = run.child().wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();

    std::vector<TraceStream> streams = trace_streams(run.trace());
    ASSERT_GE(streams.size(), 1u);
    const TraceStream& stream = streams[0];
    EXPECT_EQ(stream.timediv, division);
    std::vector<Expected> expected = expected_records(tracks, division);
    ASSERT_EQ(stream.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i) + ": " + stream.events[i].text);
        EXPECT_EQ(stream.events[i].tick, expected[i].tick);
        EXPECT_EQ(stream.events[i].word, expected[i].word);
        // Exact to the microsecond, however many records came before.
        EXPECT_LE(std::abs(double(stream.events[i].due_us) - expected[i].due_us), expected[i].tolerance_us)
            << expected[i].due_us;
    }
}

smf::Bytes on(uint8_t key) { return {0x90, key, 100}; }
smf::Bytes off(uint8_t key) { return {0x80, key, 0}; }

TEST(Playback, TicksAndDueTimesFollowTheTempoChanges) {
    std::vector<Placed> conductor = {
        {96, tempo_event(250000)}, {288, tempo_event(1000000)}, {300, tempo_event(333333)},
        {301, {0xFF, 0x01, 0x02, 'h', 'i'}}, {500, end_of_track()}};
    std::vector<Placed> melody = {{0, on(60)},   {48, off(60)},  {96, on(62)},          {200, off(62)},
                                  {288, on(64)}, {300, {0xC0, 5}}, {301, {0xE0, 0x00, 0x40}}, {450, off(64)},
                                  {451, end_of_track()}};
    expect_first_pass({conductor, melody}, 96);
}

TEST(Playback, LongFileDoesNotDriftFromRoundedSteps) {
    // 5208.34375 us per tick: a sum of rounded steps would be off by
    // hundreds of microseconds by the end.
    std::vector<Placed> events = {{0, tempo_event(500001)}};
    uint32_t tick = 0;
    for (int i = 0; i < 700; ++i) {
        tick += 7;
        events.push_back({tick, on(uint8_t(40 + i % 40))});
        tick += 3;
        events.push_back({tick, off(uint8_t(40 + i % 40))});
    }
    events.push_back({tick, end_of_track()});
    expect_first_pass({events}, 96);
}

TEST(Playback, SmpteDivisionIgnoresTempo) {
    for (auto [fps, ticks] : {std::pair{24, 4}, {25, 40}, {29, 4}, {29, 100}, {30, 80}}) {
        SCOPED_TRACE(std::to_string(fps) + " fps, " + std::to_string(ticks) + " ticks per frame");
        std::vector<Placed> events = {{0, on(60)},    {1, off(60)},   {7, on(61)},
                                      {100, tempo_event(250000)},     {101, off(61)},
                                      {1001, on(62)}, {30000, off(62)}, {30000, end_of_track()}};
        expect_first_pass({events}, smf::smpte_division(fps, uint8_t(ticks)));
        if (HasFatalFailure()) return;
    }
}

TEST(Playback, EachFillIsAnnouncedAndEachBufferGivenBack) {
    for (uint32_t records : {1u, 511u, 512u, 1022u, 1200u}) {
        SCOPED_TRACE(std::to_string(records) + " records");
        smf::Track track;
        for (uint32_t i = 0; i < records; ++i) track.note_on(i % 2, 0, uint8_t(i % 128), 1);
        track.end();
        TempDir dir;
        dir.write("song.mid", smf::file({track}));
        PlayerRun run(dir, "200", "song.mid");
        ASSERT_TRUE(run.child().wait_out_count("1", 1));
        run.child().close_stdin();
        ExitStatus status = run.child().wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();

        uint32_t buffers = (records + 510) / 511;
        // The first pass: one "buffering..." before each fill, the last fill empty.
        std::string passes = pass_messages(run.child().err(), {});
        std::string first = passes.substr(0, passes.find("done.\n"));
        EXPECT_EQ(count_of(first, "buffering...\n"), buffers + 1);

        std::vector<TraceStream> streams = trace_streams(run.trace());
        ASSERT_GE(streams.size(), 1u);
        EXPECT_EQ(streams[0].events.size(), records);
        EXPECT_EQ(streams[0].done, buffers);
        // Each buffer is given back after its last record: at most 511 between two `done`s.
        uint32_t since_done = 0;
        for (const TraceLine& line : streams[0].lines) {
            if (line.kind == TraceLine::ev) ++since_done;
            if (line.kind == TraceLine::done) {
                EXPECT_TRUE(since_done == 511 || since_done == records % 511) << since_done;
                since_done = 0;
            }
        }
        EXPECT_EQ(since_done, 0u);
    }
}

}  // namespace
