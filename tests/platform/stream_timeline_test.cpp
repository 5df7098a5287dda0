#include "platform/linux/winmm/stream_timeline.h"

#include <gtest/gtest.h>

namespace {

using platform::StreamTimeline;

TEST(StreamTimeline, QuarterNotesRunAtHalfASecondUntilTheFirstTempo) {
    StreamTimeline timeline;
    timeline.set_division(0, 480);
    EXPECT_EQ(timeline.due_us(0), 0);
    EXPECT_EQ(timeline.due_us(480), 500000);
    // 7 ticks of 1041.67 µs: rounded once, not per tick (7 × 1041 = 7287).
    EXPECT_EQ(timeline.due_us(7), 7291);
    EXPECT_EQ(timeline.tempo(), 500000u);
}

TEST(StreamTimeline, ATempoChangesTheRateFromItsOwnTickOn) {
    StreamTimeline timeline;
    timeline.set_division(0, 96);
    timeline.set_tempo(96, 250000);
    EXPECT_EQ(timeline.due_us(96), 500000);
    EXPECT_EQ(timeline.due_us(192), 750000);
    timeline.set_tempo(200, 1000000);
    // 96 ticks at 500000, 104 at 250000, 1 at 1000000, all over 96.
    EXPECT_EQ(timeline.due_us(201), (96LL * 500000 + 104LL * 250000 + 1000000) / 96);
}

TEST(StreamTimeline, ManyTempoChangesDoNotDrift) {
    // Tempos whose per-tick times are not whole microseconds, changed every
    // 997 ticks over five million ticks; the times in between are asked for
    // as a stream asks: moving forward.
    const DWORD tempos[] = {333333, 428571, 600001, 352941, 500000, 1};
    StreamTimeline timeline;
    timeline.set_division(0, 479);
    // The exact time: microseconds × 479 up to the last tempo change, rounded down only at the end.
    unsigned __int128 before_change = 0;
    uint64_t change_tick = 0, tick = 0;
    DWORD tempo = 500000;
    for (uint64_t i = 0; tick < 5000000; ++i) {
        for (uint64_t step : {uint64_t(1), uint64_t(500), uint64_t(496)}) {
            tick += step;
            const auto exact = static_cast<int64_t>((before_change + (unsigned __int128)(tick - change_tick) * tempo) / 479);
            ASSERT_EQ(timeline.due_us(tick), exact) << "tick " << tick;
        }
        before_change += (unsigned __int128)(tick - change_tick) * tempo;
        change_tick = tick;
        tempo = tempos[i % 6];
        timeline.set_tempo(tick, tempo);
    }
}

TEST(StreamTimeline, TicksBeyondThirtyTwoBits) {
    StreamTimeline timeline;
    timeline.set_division(0, 1);
    uint64_t tick = (uint64_t(1) << 33) + 1;
    EXPECT_EQ(timeline.due_us(tick), int64_t(tick) * 500000);
}

TEST(StreamTimeline, SmpteFramesAndTicksPerFrame) {
    struct Case {
        int frames;
        DWORD ticks_per_frame;
        uint64_t tick;
        int64_t due_us;
    };
    const Case cases[] = {
        {24, 4, 96, 1000000},          // 96 ticks a second
        {24, 4, 1, 10416},             // 10416.67
        {25, 40, 1, 1000},             // millisecond ticks
        {25, 40, 3600000, 3600000000}, // an hour
        {30, 80, 2400, 1000000},
        {29, 100, 3000000, 1001000000},  // 30000 frames of 29.97 a second take 1001 s
        {29, 100, 2997, 999999},         // 999999.999
        {29, 1, 1, 33366},               // 33366.67
    };
    for (const Case& c : cases) {
        DWORD division = DWORD(uint8_t(-c.frames)) << 8 | c.ticks_per_frame;
        StreamTimeline timeline;
        timeline.set_division(0, division);
        EXPECT_EQ(timeline.due_us(c.tick), c.due_us) << c.frames << " fps, " << c.ticks_per_frame << " tpf";
    }
}

TEST(StreamTimeline, SmpteIgnoresTempoRecords) {
    StreamTimeline timeline;
    timeline.set_division(0, 0xE728);  // 25 fps, 40 ticks a frame
    timeline.set_tempo(10, 100000);
    EXPECT_EQ(timeline.due_us(2000), 2000000);
    EXPECT_EQ(timeline.tempo(), 100000u);
}

// Any division a stream takes is timed by its low 16 bits; one that gives
// ticks no length makes them all due at once.
TEST(StreamTimeline, AnyDivisionIsTimed) {
    struct Case {
        DWORD division;
        uint64_t tick;
        int64_t due_us;
    };
    const Case cases[] = {
        {0, 1000, 0},               // no ticks per quarter
        {0xE700, 1000, 0},          // 25 frames a second of no ticks
        {0xE901, 23, 1000000},      // 23 frames a second
        {0x8001, 128, 1000000},     // 128 frames a second
        {0xFFFF, 255, 1000000},     // 1 frame a second of 255 ticks
        {0x10060, 96, 500000},      // 96 ticks per quarter; the high word is not timed
    };
    for (const Case& c : cases) {
        StreamTimeline timeline;
        timeline.set_division(0, c.division);
        EXPECT_EQ(timeline.due_us(c.tick), c.due_us) << std::hex << c.division;
        EXPECT_EQ(timeline.division(), c.division);
    }
}

TEST(StreamTimeline, ANewTimelineCountsTwentyFourTicksAQuarter) {
    StreamTimeline timeline;
    EXPECT_EQ(timeline.division(), 24u);
    EXPECT_EQ(timeline.due_us(24), 500000);
}

TEST(StreamTimeline, ADivisionChangeKeepsTheTimeReached) {
    StreamTimeline timeline;
    timeline.set_division(0, 100);
    timeline.set_division(100, 200);  // 100 ticks of 5000 µs, then 2500 µs a tick
    EXPECT_EQ(timeline.due_us(300), 500000 + 200 * 2500);
}

TEST(StreamTimeline, RewindGoesBackToTickZeroAndTheDefaultTempo) {
    StreamTimeline timeline;
    timeline.set_division(0, 96);
    timeline.set_tempo(96, 1000000);
    timeline.rewind();
    EXPECT_EQ(timeline.tempo(), StreamTimeline::default_tempo);
    EXPECT_EQ(timeline.due_us(96), 500000);
    EXPECT_EQ(timeline.division(), 96u);
}

}  // namespace
