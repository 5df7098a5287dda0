// The track merger: record layout, event kinds, merge order, the closing rest
// to the latest End of Track, buffer limits and a track that runs off its
// chunk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "playback/track_merger.h"
#include "state/player_state.h"
#include "support/fuzz_seeds.h"
#include "support/merge_run.h"
#include "support/smf_writer.h"

namespace {

using smf::Bytes;
using smf::MergeRun;
using smf::Record;
using smf::short_event;
using smf::tempo_event;
using smf::Track;

const uint32_t nop_event = 0x02000000;  // MEVT_NOP, parameter 0

Track track_of(const Bytes& bytes) { return Track{bytes}; }

// ---------------------------------------------------------------------------
// The two-track example: note-on and running-status note-off on track 0, tempo
// and program change on track 1.

TEST(MergerExample, PlacesTheFourRecordsByteForByte) {
    Bytes file = smf::file({track_of({0x00, 0x90, 0x3C, 0x64, 0x60, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00}),
                            track_of({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x30, 0xC0, 0x05, 0x00, 0xFF, 0x2F, 0x00})});
    MergeRun run(file);
    ASSERT_EQ(run.track_count(), 2u);

    uint32_t bytes = 0;
    ASSERT_EQ(fill_events(run.tracks(), run.track_count(), run.buffer(), &bytes), 1);
    ASSERT_EQ(bytes, 48u);
    const uint8_t expected[48] = {
        0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0x90, 0x3C, 0x64, 0x00,  // track 0 wins the tie at 0
        0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0x20, 0xA1, 0x07, 0x01,  // tempo 500000
        0x30, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0xC0, 0x05, 0x00, 0x00,  // program change at 0x30
        0x30, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0x90, 0x3C, 0x00, 0x00,  // running status at 0x60
    };
    EXPECT_EQ(0, memcmp(run.buffer(), expected, sizeof expected));
    EXPECT_EQ(player_state.last_event_time, 0x60u);

    EXPECT_TRUE(run.fill().empty());
    EXPECT_TRUE(run.fill().empty());  // and stays ended
}

// ---------------------------------------------------------------------------
// One track at a time: what each kind of event places.

struct SingleTrackCase {
    const char* name;
    Bytes track;  // the chunk's bytes
    std::vector<Record> expected;
};

std::ostream& operator<<(std::ostream& out, const SingleTrackCase& c) { return out << c.name; }

Bytes meta_of_length_200() {
    Bytes event{0x00, 0xFF, 0x01, 0x81, 0x48};
    event.insert(event.end(), 200, 0x90);  // data that would read as note-ons if not skipped
    return event;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const Bytes end_of_track{0x00, 0xFF, 0x2F, 0x00};

std::vector<SingleTrackCase> single_track_cases() {
    return {
        {"meta_with_two_length_bytes_is_stepped_over_whole",
         concat({meta_of_length_200(), {0x05, 0x90, 0x3C, 0x64}, end_of_track}),
         {{5, 0, short_event(0x90, 0x3C, 0x64)}}},
        {"sysex_at_track_start_is_stepped_over",
         concat({{0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0x10, 0x91, 0x40, 0x50}, end_of_track}),
         {{0x10, 0, short_event(0x91, 0x40, 0x50)}}},
        {"sysex_continuation_F7_is_stepped_over",
         concat({{0x00, 0x90, 0x3C, 0x64}, {0x03, 0xF7, 0x02, 0x01, 0x02}, {0x04, 0x3C, 0x00}, end_of_track}),
         {{0, 0, short_event(0x90, 0x3C, 0x64)}, {7, 0, short_event(0x90, 0x3C, 0x00)}}},
        {"text_meta_carries_its_time_into_the_next_delta",
         Track{}.note_on(0, 0, 60, 100).text(100, "verse").note_off(100, 0, 60).end().bytes,
         {{0, 0, short_event(0x90, 60, 100)}, {200, 0, short_event(0x80, 60, 0)}}},
        {"program_change_takes_one_data_byte",
         concat({{0x00, 0xC3, 0x05}, {0x01, 0x93, 0x3C, 0x64}, end_of_track}),
         {{0, 0, short_event(0xC3, 0x05)}, {1, 0, short_event(0x93, 0x3C, 0x64)}}},
        {"channel_pressure_takes_one_data_byte",
         concat({{0x00, 0xD2, 0x40}, {0x01, 0x92, 0x3C, 0x64}, end_of_track}),
         {{0, 0, short_event(0xD2, 0x40)}, {1, 0, short_event(0x92, 0x3C, 0x64)}}},
        {"program_change_by_running_status_takes_one_data_byte",
         concat({{0x00, 0xCF, 0x01}, {0x02, 0x02}, {0x03, 0x03}, end_of_track}),
         {{0, 0, short_event(0xCF, 0x01)}, {2, 0, short_event(0xCF, 0x02)}, {3, 0, short_event(0xCF, 0x03)}}},
        {"channel_pressure_by_running_status_takes_one_data_byte",
         concat({{0x00, 0xD0, 0x10}, {0x00, 0x20}, end_of_track}),
         {{0, 0, short_event(0xD0, 0x10)}, {0, 0, short_event(0xD0, 0x20)}}},
        {"two_byte_messages_by_running_status",
         concat({{0x00, 0xB1, 0x07, 0x64}, {0x01, 0x0A, 0x40}, {0x00, 0xE1, 0x00, 0x40}, {0x02, 0x7F, 0x7F},
                 {0x00, 0xA1, 0x3C, 0x10}, {0x01, 0x3D, 0x11}, {0x00, 0x81, 0x3C, 0x00}, {0x01, 0x3D, 0x00},
                 end_of_track}),
         {{0, 0, short_event(0xB1, 0x07, 0x64)},
          {1, 0, short_event(0xB1, 0x0A, 0x40)},
          {0, 0, short_event(0xE1, 0x00, 0x40)},
          {2, 0, short_event(0xE1, 0x7F, 0x7F)},
          {0, 0, short_event(0xA1, 0x3C, 0x10)},
          {1, 0, short_event(0xA1, 0x3D, 0x11)},
          {0, 0, short_event(0x81, 0x3C, 0x00)},
          {1, 0, short_event(0x81, 0x3D, 0x00)}}},
        {"data_before_any_status_places_status_0_with_two_data_bytes",
         concat({{0x00, 0x3C, 0x64}, {0x01, 0x05, 0x06}, {0x00, 0x90, 0x3C, 0x64}, end_of_track}),
         {{0, 0, short_event(0x00, 0x3C, 0x64)}, {1, 0, short_event(0x00, 0x05, 0x06)},
          {0, 0, short_event(0x90, 0x3C, 0x64)}}},
        {"meta_and_sysex_keep_the_running_status",
         concat({{0x00, 0x90, 0x3C, 0x64}, {0x00, 0xFF, 0x01, 0x01, 'x'}, {0x00, 0xF0, 0x01, 0xF7},
                 {0x01, 0x3C, 0x00}, end_of_track}),
         {{0, 0, short_event(0x90, 0x3C, 0x64)}, {1, 0, short_event(0x90, 0x3C, 0x00)}}},
        {"tempo_of_length_0_is_stepped_over",
         concat({{0x00, 0xFF, 0x51, 0x00}, {0x02, 0x90, 0x3C, 0x64}, end_of_track}),
         {{2, 0, short_event(0x90, 0x3C, 0x64)}}},
        {"tempo_of_length_5_is_stepped_over_whole",
         concat({{0x00, 0xFF, 0x51, 0x05, 0x0F, 0x42, 0x40, 0x00, 0x00}, {0x02, 0x90, 0x3C, 0x64}, end_of_track}),
         {{2, 0, short_event(0x90, 0x3C, 0x64)}}},
        {"tempo_keeps_the_running_status",
         concat({{0x00, 0x90, 0x3C, 0x64}, {0x05, 0xFF, 0x51, 0x03, 0xFF, 0xFF, 0xFF}, {0x01, 0x3C, 0x00},
                 end_of_track}),
         {{0, 0, short_event(0x90, 0x3C, 0x64)}, {5, 0, tempo_event(0xFFFFFF)}, {1, 0, short_event(0x90, 0x3C, 0x00)}}},
        {"status_byte_where_data_should_be_ends_a_system_common_message",
         concat({{0x00, 0xF2, 0x05}, {0x81, 0x00, 0x90, 0x3C, 0x64}, end_of_track}),
         {{0x80, 0, short_event(0x90, 0x3C, 0x64)}}},
        {"delta_time_with_many_bytes_keeps_the_low_32_bits",
         concat({{0x81, 0x80, 0x80, 0x80, 0x80, 0x05, 0x90, 0x3C, 0x64}, end_of_track}),
         {{5, 0, short_event(0x90, 0x3C, 0x64)}}},
        {"event_at_the_largest_tick_is_placed",
         concat({{0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x64}, {0x01, 0x3C, 0x00}, end_of_track}),
         {{0xFFFFFFFF, 0, short_event(0x90, 0x3C, 0x64)}, {1, 0, short_event(0x90, 0x3C, 0x00)}}},
        {"tick_time_wraps",
         concat({{0x8F, 0xFF, 0xFF, 0xFF, 0x70, 0x90, 0x3C, 0x64}, {0x20, 0x3C, 0x00}, end_of_track}),
         {{0xFFFFFFF0, 0, short_event(0x90, 0x3C, 0x64)}, {0x20, 0, short_event(0x90, 0x3C, 0x00)}}},
        {"end_of_track_stops_the_track_before_later_bytes",
         concat({{0x00, 0x90, 0x3C, 0x64}, end_of_track, {0x00, 0x90, 0x3D, 0x64}}),
         {{0, 0, short_event(0x90, 0x3C, 0x64)}}},
        {"end_of_track_after_a_delta_closes_with_a_rest",
         concat({{0x00, 0x90, 0x3C, 0x64}, {0x7F, 0xFF, 0x2F, 0x00}}),
         {{0, 0, short_event(0x90, 0x3C, 0x64)}, {0x7F, 0, nop_event}}},
        {"only_end_of_track", end_of_track, {}},
        {"empty_chunk", {}, {}},
    };
}

class SingleTrack : public testing::TestWithParam<SingleTrackCase> {};

TEST_P(SingleTrack, PlacesTheExpectedRecords) {
    MergeRun run(smf::file({track_of(GetParam().track)}));
    EXPECT_EQ(run.drain(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Events, SingleTrack, testing::ValuesIn(single_track_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Every system common and real-time byte (0xF1 to 0xFE other than 0xF7)
// places nothing and is stepped over with the data bytes the MIDI standard
// gives it: one for 0xF1 and 0xF3, two for 0xF2, none for the others; the
// running status in force before it still holds after it.
TEST(MergerSystemCommon, EachIsSteppedOverWithItsDataBytes) {
    for (int status = 0xF1; status <= 0xFE; ++status) {
        if (status == 0xF7) continue;
        Bytes message{uint8_t(status)};
        message.insert(message.end(), status == 0xF2 ? 2 : (status == 0xF1 || status == 0xF3) ? 1 : 0, 0x40);
        for (bool running : {false, true}) {
            SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << status << (running ? ", running status" : ""));
            Bytes note_off = running ? Bytes{0x3C, 0x00} : Bytes{0x80, 0x3C, 0x00};
            MergeRun run(smf::file({track_of(concat({{0x00, 0x90, 0x3C, 0x64}, {0x05}, message, {0x07}, note_off,
                                                     {0x00}, message, end_of_track}))}));
            EXPECT_EQ(run.drain(), (std::vector<Record>{{0, 0, short_event(0x90, 0x3C, 0x64)},
                                                        {12, 0, short_event(running ? 0x90 : 0x80, 0x3C, 0x00)}}));
        }
    }
}

// ---------------------------------------------------------------------------
// The closing rest: once every track has ended, one no-op carries the stream
// to the latest End of Track when that lies after the last record placed; the
// call after it places nothing.

struct ClosingCase {
    const char* name;
    std::vector<Track> tracks;
    std::vector<Record> expected;
};

std::ostream& operator<<(std::ostream& out, const ClosingCase& c) { return out << c.name; }

std::vector<ClosingCase> closing_cases() {
    return {
        {"a_rest_after_the_last_event",
         {Track{}.note_on(0, 0, 60, 100).note_off(96, 0, 60).end(288)},
         {{0, 0, short_event(0x90, 60, 100)}, {96, 0, short_event(0x80, 60, 0)}, {288, 0, nop_event}}},
        {"end_of_track_at_the_last_event_adds_nothing",
         {Track{}.note_on(0, 0, 60, 100).note_off(96, 0, 60).end()},
         {{0, 0, short_event(0x90, 60, 100)}, {96, 0, short_event(0x80, 60, 0)}}},
        {"tracks_ending_at_different_times_close_at_the_latest",
         {Track{}.note_on(0, 0, 60, 1).note_off(48, 0, 60).end(432), Track{}.note_on(0, 1, 61, 1).note_off(100, 1, 61).end(100)},
         {{0, 0, short_event(0x90, 60, 1)},
          {0, 0, short_event(0x91, 61, 1)},
          {48, 0, short_event(0x80, 60, 0)},
          {52, 0, short_event(0x81, 61, 0)},
          {380, 0, nop_event}}},
        {"the_latest_end_on_a_track_that_places_nothing",
         {Track{}.note_on(0, 0, 60, 1).end(10), Track{}.text(500, "coda").end(500)},
         {{0, 0, short_event(0x90, 60, 1)}, {1000, 0, nop_event}}},
        {"a_file_of_rests_alone", {Track{}.end(480), Track{}.end()}, {{480, 0, nop_event}}},
        {"everything_at_tick_0", {Track{}.program(0, 0, 5).end(), Track{}.end()}, {{0, 0, short_event(0xC0, 5)}}},
        {"a_track_cut_after_a_whole_delta_ends_there",
         {Track{}.note_on(0, 0, 60, 1).raw(64, {0x90, 0x3C}), Track{}.note_on(0, 1, 61, 1).raw(10, {0x91})},
         {{0, 0, short_event(0x90, 60, 1)}, {0, 0, short_event(0x91, 61, 1)}, {64, 0, nop_event}}},
        {"a_track_cut_inside_a_delta_ends_at_its_last_event",
         {track_of({0x00, 0x90, 0x3C, 0x01, 0x81})},
         {{0, 0, short_event(0x90, 60, 1)}}},
    };
}

class Closing : public testing::TestWithParam<ClosingCase> {};

TEST_P(Closing, PlacesOneNoOpToTheLatestEnd) {
    MergeRun run(smf::file(GetParam().tracks));
    EXPECT_EQ(run.drain(), GetParam().expected);
    EXPECT_TRUE(run.fill().empty());  // and stays ended
}

INSTANTIATE_TEST_SUITE_P(EndOfTrack, Closing, testing::ValuesIn(closing_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MergerCalls, ClosingRestWaitsForRoomInTheNextFill) {
    for (int notes : {510, 511}) {
        SCOPED_TRACE(notes);
        Track track;
        for (int i = 0; i < notes; ++i) track.note_on(1, 0, 60, 64);
        track.end(50);
        MergeRun run(smf::file({track}));
        std::vector<Record> first = run.fill();
        ASSERT_EQ(first.size(), 511u);
        std::vector<Record> second = run.fill();
        std::vector<Record> closing{{50, 0, nop_event}};
        if (notes == 510) {
            EXPECT_EQ(first.back(), closing.back());
            EXPECT_TRUE(second.empty());
        } else {
            EXPECT_EQ(second, closing);
            EXPECT_TRUE(run.fill().empty());
        }
    }
}

// ---------------------------------------------------------------------------
// Merge order across tracks.

TEST(MergerOrder, LowestTrackFirstOnEqualTimes) {
    // Three tracks with events at the same ticks, each on its own channel.
    std::vector<Track> tracks(3);
    for (uint8_t t = 0; t < 3; ++t) tracks[t].note_on(10, t, 60, 1).note_on(0, t, 61, 2).note_off(5, t, 60).end();
    MergeRun run(smf::file(tracks));
    std::vector<Record> all = run.drain();
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(all[0], (Record{10, 0, short_event(0x90, 60, 1)}));
    EXPECT_EQ(all[1], (Record{0, 0, short_event(0x90, 61, 2)}));  // track 0 again: still tick 10, lowest index
    EXPECT_EQ(all[2], (Record{0, 0, short_event(0x91, 60, 1)}));
    EXPECT_EQ(all[3], (Record{0, 0, short_event(0x91, 61, 2)}));
    EXPECT_EQ(all[4], (Record{0, 0, short_event(0x92, 60, 1)}));
    EXPECT_EQ(all[5], (Record{0, 0, short_event(0x92, 61, 2)}));
    EXPECT_EQ(all[6], (Record{5, 0, short_event(0x80, 60, 0)}));
    EXPECT_EQ(all[7], (Record{0, 0, short_event(0x81, 60, 0)}));
    EXPECT_EQ(all[8], (Record{0, 0, short_event(0x82, 60, 0)}));
}

TEST(MergerOrder, EarliestEventWinsWhateverTheTrack) {
    Track late, early;
    late.note_on(50, 0, 60, 1).end();
    early.note_on(20, 1, 61, 1).note_on(20, 1, 62, 1).note_on(20, 1, 63, 1).end();
    MergeRun run(smf::file({late, early}));
    EXPECT_EQ(run.drain(), (std::vector<Record>{{20, 0, short_event(0x91, 61, 1)},
                                                {20, 0, short_event(0x91, 62, 1)},
                                                {10, 0, short_event(0x90, 60, 1)},
                                                {10, 0, short_event(0x91, 63, 1)}}));
}

TEST(MergerOrder, EventsThatPlaceNothingCarryTheirTimeAcrossTracks) {
    // Track 1's text at tick 30 places nothing; track 0's note at tick 40 is
    // 40 ticks after the last record, not 10.
    Track notes, words;
    notes.note_on(0, 0, 60, 1).note_on(40, 0, 61, 1).end();
    words.text(30, "cue").end();
    MergeRun run(smf::file({notes, words}));
    EXPECT_EQ(run.drain(), (std::vector<Record>{{0, 0, short_event(0x90, 60, 1)}, {40, 0, short_event(0x90, 61, 1)}}));
}

TEST(MergerOrder, ComparisonIsOnWrappedUnsignedTicks) {
    // Track 0 sits at tick 0xFFFFFFF0 and then wraps to 0x10; track 1's event
    // at 0x100 is smaller than 0xFFFFFFF0 and so comes first.
    Track wrapping, plain;
    wrapping.raw(0xFFFFFFF0, {0x90, 0x3C, 0x64}).raw(0x20, {0x3C, 0x00}).end();
    plain.raw(0x100, {0x91, 0x40, 0x40}).end();
    MergeRun run(smf::file({wrapping, plain}));
    // The ends are compared the same way: track 1's at 0x100 lies after the
    // last record's 0x10.
    EXPECT_EQ(run.drain(), (std::vector<Record>{{0x100, 0, short_event(0x91, 0x40, 0x40)},
                                                {0xFFFFFEF0, 0, short_event(0x90, 0x3C, 0x64)},
                                                {0x20, 0, short_event(0x90, 0x3C, 0x00)},
                                                {0xF0, 0, nop_event}}));
}

TEST(MergerOrder, EachTrackKeepsItsOwnRunningStatus) {
    Track a, b;
    a.raw(0, {0x90, 0x3C, 0x64}).raw(1, {0x3D, 0x64}).end();
    b.raw(0, {0xB5, 0x07, 0x10}).raw(1, {0x0A, 0x20}).end();
    MergeRun run(smf::file({a, b}));
    EXPECT_EQ(run.drain(), (std::vector<Record>{{0, 0, short_event(0x90, 0x3C, 0x64)},
                                                {0, 0, short_event(0xB5, 0x07, 0x10)},
                                                {1, 0, short_event(0x90, 0x3D, 0x64)},
                                                {0, 0, short_event(0xB5, 0x0A, 0x20)}}));
}

// ---------------------------------------------------------------------------
// Buffer limits and the merge carried across calls.

TEST(MergerCalls, SixHundredEventsSplitAt511) {
    Track notes;
    for (int i = 0; i < 600; ++i) notes.note_on(0, 0, uint8_t(i % 128), 64);
    notes.end();
    MergeRun run(smf::file({notes}));
    uint32_t bytes = 0;
    for (uint32_t expected : {6132u, 1068u, 0u, 0u}) {
        ASSERT_EQ(fill_events(run.tracks(), run.track_count(), run.buffer(), &bytes), 1);
        EXPECT_EQ(bytes, expected);
    }
}

TEST(MergerCalls, LastEventTimeCarriesAcrossCalls) {
    // 511 notes one tick apart fill the first call; a text at +10 and a note at
    // +5 follow: the second call's first record is 15 ticks after the 511th.
    Track notes;
    for (int i = 0; i < 511; ++i) notes.note_on(1, 0, 60, 64);
    notes.text(10, "x").note_on(5, 0, 61, 64).end();
    MergeRun run(smf::file({notes}));
    std::vector<Record> first = run.fill();
    ASSERT_EQ(first.size(), 511u);
    EXPECT_EQ(player_state.last_event_time, 511u);
    EXPECT_EQ(run.fill(), (std::vector<Record>{{15, 0, short_event(0x90, 61, 64)}}));
    EXPECT_EQ(player_state.last_event_time, 526u);
}

TEST(MergerCalls, DeltaIsMeasuredFromLastEventTimeAsFound) {
    // The merger reads last_event_time as it finds it; the subtraction wraps.
    MergeRun run(smf::file({Track{}.note_on(3, 0, 60, 1).end()}));
    player_state.last_event_time = 10;
    EXPECT_EQ(run.fill(), (std::vector<Record>{{0xFFFFFFF9, 0, short_event(0x90, 60, 1)}}));
    EXPECT_EQ(player_state.last_event_time, 3u);
}

TEST(MergerCalls, SplitBetweenTracksContinuesTheMergeOrder) {
    // Two tracks of 400 notes each at the same ticks alternate 0, 1, 0, 1...;
    // the second call picks up exactly where the first stopped.
    Track a, b;
    for (int i = 0; i < 400; ++i) {
        a.note_on(i == 0 ? 0 : 2, 0, uint8_t(i % 128), 1);
        b.note_on(i == 0 ? 0 : 2, 1, uint8_t(i % 128), 1);
    }
    a.end();
    b.end();
    MergeRun run(smf::file({a, b}));
    std::vector<Record> first = run.fill(), second = run.fill();
    ASSERT_EQ(first.size(), 511u);
    ASSERT_EQ(second.size(), 289u);
    EXPECT_TRUE(run.fill().empty());
    first.insert(first.end(), second.begin(), second.end());
    for (size_t i = 0; i < first.size(); ++i) {
        uint8_t track = uint8_t(i % 2), note = uint8_t((i / 2) % 128);
        uint32_t delta = (i % 2 == 0 && i > 0) ? 2 : 0;
        ASSERT_EQ(first[i], (Record{delta, 0, short_event(uint8_t(0x90 | track), note, 1)})) << "record " << i;
    }
}

TEST(MergerCalls, EventsThatPlaceNothingDoNotCountTowardTheLimit) {
    Track busy;
    for (int i = 0; i < 600; ++i) busy.text(0, "t").note_on(0, 0, 60, 1);
    busy.end();
    MergeRun run(smf::file({busy}));
    EXPECT_EQ(run.fill().size(), 511u);
    EXPECT_EQ(run.fill().size(), 89u);
    EXPECT_TRUE(run.fill().empty());
}

TEST(MergerCalls, AllTracksEmptyPlaceNothingAtTheFirstCall) {
    MergeRun run(smf::file({Track{}.end(), Track{}.end(), Track{}.text(0, "only words").end()}));
    uint32_t bytes = 99;
    EXPECT_EQ(fill_events(run.tracks(), run.track_count(), run.buffer(), &bytes), 1);
    EXPECT_EQ(bytes, 0u);
}

TEST(MergerCalls, NoTracksPlaceNothing) {
    TrackCursor unused{};
    uint8_t buffer[12] = {};
    uint32_t bytes = 99;
    EXPECT_EQ(fill_events(&unused, 0, buffer, &bytes), 1);
    EXPECT_EQ(bytes, 0u);
}

TEST(MergerCalls, NullArgumentsReturn0AndStoreNothing) {
    MergeRun run(smf::file({Track{}.note_on(7, 0, 60, 1).end()}));
    TrackCursor before = run.tracks()[0];
    memset(run.buffer(), 0xA5, event_buffer_bytes);
    player_state.last_event_time = 3;
    uint32_t bytes = 0xDEADBEEF;

    EXPECT_EQ(fill_events(nullptr, run.track_count(), run.buffer(), &bytes), 0);
    EXPECT_EQ(fill_events(run.tracks(), run.track_count(), nullptr, &bytes), 0);
    EXPECT_EQ(fill_events(run.tracks(), run.track_count(), run.buffer(), nullptr), 0);

    EXPECT_EQ(bytes, 0xDEADBEEFu);
    EXPECT_EQ(player_state.last_event_time, 3u);
    EXPECT_EQ(run.buffer()[0], 0xA5);
    EXPECT_EQ(run.tracks()[0].cursor, before.cursor);
    EXPECT_EQ(run.tracks()[0].time, before.time);
}

// ---------------------------------------------------------------------------
// A track that runs off its chunk's end is finished there; an event cut off
// by the end is not placed, and nothing past the end is read.

struct CutEvent {
    Bytes bytes;     // delta time and event
    uint32_t delta;  // its delta time, quantity(delta) the bytes it starts with
    bool places;     // a record, when the event is whole
    uint32_t event;
};

// Every kind of event; cutting the chunk anywhere must place exactly the
// records of the events that are whole before the cut.
std::vector<CutEvent> cut_events() {
    Bytes long_name{0x00, 0xFF, 0x03, 0x81, 0x00};
    long_name.insert(long_name.end(), 128, 'n');
    return {
        {{0x00, 0x90, 0x3C, 0x64}, 0, true, short_event(0x90, 0x3C, 0x64)},
        {{0x81, 0x00, 0x3C, 0x00}, 0x80, true, short_event(0x90, 0x3C, 0x00)},
        {{0x00, 0xC1, 0x05}, 0, true, short_event(0xC1, 0x05)},
        {{0x01, 0x06}, 1, true, short_event(0xC1, 0x06)},
        {{0x82, 0x80, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}, 0x8000, true, tempo_event(500000)},
        {long_name, 0, false, 0},
        {{0x03, 0xF0, 0x03, 0x01, 0x02, 0xF7}, 3, false, 0},
        {{0x04, 0xF9}, 4, false, 0},
        {{0x02, 0xE0, 0x00, 0x40}, 2, true, short_event(0xE0, 0x00, 0x40)},
    };
}

Bytes cut_track_bytes(std::vector<size_t>& event_ends) {
    Bytes out;
    for (const CutEvent& e : cut_events()) {
        out.insert(out.end(), e.bytes.begin(), e.bytes.end());
        event_ends.push_back(out.size());
    }
    return out;
}

// The records of the events whole before the cut, then the closing rest to
// where the track ends: past the last whole delta time.
std::vector<Record> records_whole_before(size_t cut, const std::vector<size_t>& event_ends) {
    std::vector<Record> out;
    std::vector<CutEvent> events = cut_events();
    uint32_t carried = 0;  // the time of events that placed nothing
    size_t start = 0;
    for (size_t i = 0; i < events.size(); start = event_ends[i++]) {
        if (start + smf::quantity(events[i].delta).size() > cut) break;  // its delta is cut
        carried += events[i].delta;
        if (event_ends[i] > cut) break;  // the event is cut
        if (!events[i].places) continue;
        out.push_back({carried, 0, events[i].event});
        carried = 0;
    }
    if (carried) out.push_back({carried, 0, nop_event});
    return out;
}

TEST(MergerBounds, ChunkCutAnywherePlacesOnlyWholeEvents) {
    std::vector<size_t> ends;
    Bytes events = cut_track_bytes(ends);
    // The chunk's length says `cut`; the whole track still follows in the
    // image, then a second chunk: nothing past the length may be read.
    for (size_t cut = 0; cut <= events.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "chunk length " << cut);
        Bytes file = smf::file({track_of(events), Track{}.note_on(0x7F, 5, 1, 1).end()}, 96, 1, 1);
        smf::set_chunk_length(file, smf_header_bytes, uint32_t(cut));
        MergeRun run(file);
        ASSERT_EQ(run.track_count(), 1u);
        EXPECT_EQ(run.drain(), records_whole_before(cut, ends));
    }
}

TEST(MergerBounds, FileCutAnywherePlacesOnlyWholeEvents) {
    std::vector<size_t> ends;
    Bytes events = cut_track_bytes(ends);
    Bytes whole = smf::file({track_of(events)});
    for (size_t cut = 0; cut <= events.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "image cut " << cut << " bytes into the track");
        Bytes file(whole.begin(), whole.begin() + long(smf_header_bytes + 8 + cut));
        MergeRun run(file);  // the chunk's length points past the image
        ASSERT_EQ(run.track_count(), 1u);
        EXPECT_EQ(run.drain(), records_whole_before(cut, ends));
    }
}

TEST(MergerBounds, CutTrackDoesNotDisturbTheOthers) {
    // Track 0 ends mid-event at tick 5; track 1 plays on.
    Bytes cut_off{0x05, 0x90, 0x3C};
    Track full;
    full.note_on(0, 1, 60, 1).note_on(10, 1, 61, 1).end();
    Bytes file = smf::file({track_of(cut_off), full});
    MergeRun run(file);
    EXPECT_EQ(run.drain(), (std::vector<Record>{{0, 0, short_event(0x91, 60, 1)}, {10, 0, short_event(0x91, 61, 1)}}));
}

TEST(MergerBounds, LengthRunningPastTheChunkEndsTheTrack) {
    struct Case {
        const char* name;
        Bytes tail;  // after a note-on at tick 0
    };
    for (const Case& c : std::vector<Case>{
             {"meta length", {0x00, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x90, 0x3D, 0x64}},
             {"sysex length", {0x00, 0xF0, 0x20, 0x01, 0x02}},
             {"unending length", {0x00, 0xF0, 0x80, 0x80, 0x80}},
             {"unending delta", {0x80, 0x80, 0x80, 0x80, 0x80, 0x80}},
             {"tempo cut", {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1}},
             {"meta type cut", {0x00, 0xFF}},
             {"delta alone", {0x00}},
         }) {
        SCOPED_TRACE(c.name);
        MergeRun run(smf::file({track_of(concat({{0x00, 0x90, 0x3C, 0x64}, c.tail}))}));
        EXPECT_EQ(run.drain(), (std::vector<Record>{{0, 0, short_event(0x90, 0x3C, 0x64)}}));
    }
}

// ---------------------------------------------------------------------------
// The merge finds the next event through a heap; a scan of every track for the
// earliest (the lower track on a tie) must give the same records, on the fuzz
// seeds and on bytes changed in them.

bool scan_quantity(const uint8_t*& p, const uint8_t* end, uint32_t& value) {
    for (value = 0; p < end;)
        if (!((value = value << 7 | (*p & 0x7F)), *p++ & 0x80)) return true;
    return false;
}

std::vector<Record> scan_merge(std::vector<TrackCursor> tracks) {
    std::vector<Record> out;
    uint32_t last = 0;
    for (;;) {
        TrackCursor* best = nullptr;
        uint32_t best_time = 0;
        for (TrackCursor& t : tracks) {
            const uint8_t* p = t.cursor;
            uint32_t delta;
            if (!scan_quantity(p, t.chunk_end, delta) || p >= t.chunk_end) continue;
            if (t.chunk_end - p >= 2 && p[0] == 0xFF && p[1] == 0x2F) continue;
            if (!best || t.time + delta < best_time) best = &t, best_time = t.time + delta;
        }
        if (!best) break;
        TrackEvent event;
        if (take_track_event(*best, &event) && event.record) out.push_back({best->time - last, 0, event.word}), last = best->time;
    }
    uint32_t latest = 0;
    for (const TrackCursor& t : tracks) {
        const uint8_t* p = t.cursor;
        uint32_t delta;
        uint32_t end = scan_quantity(p, t.chunk_end, delta) ? t.time + delta : t.time;
        if (end > latest) latest = end;
    }
    if (latest > last) out.push_back({latest - last, 0, nop_event});
    return out;
}

TEST(MergerOrder, HeapAndScanAgreeOnTheFuzzSeedsAndTheirMutations) {
    uint32_t seed = 20261210;
    for (const auto& [name, original] : smf::fuzz_seeds()) {
        for (int mutation = 0; mutation <= 300; ++mutation) {
            Bytes file = original;
            for (int change = 0; mutation && change < 1 + mutation % 4; ++change) {
                seed = seed * 1103515245 + 12345;
                file[(seed >> 8) % file.size()] = uint8_t(seed >> 24);
            }
            SCOPED_TRACE(testing::Message() << name << ", mutation " << mutation);
            MergeRun run(file);
            if (!run.is_midi() || !run.tracks()) continue;
            std::vector<TrackCursor> fresh(run.tracks(), run.tracks() + run.track_count());
            ASSERT_EQ(run.drain(), scan_merge(fresh));
        }
    }
}

}  // namespace
