// Loop points on the trace device: for each file, the records of the first
// pass and of the later ones; without the option the same files play whole;
// each controller library and smfstream-play play the same passes.
#include <gtest/gtest.h>

#include <csignal>
#include <smfstream/controller.hpp>

#include "support/player_run.h"
#include "support/smf_writer.h"

namespace {

using namespace test;

struct Placed {
    uint32_t tick;
    smf::Bytes event;
};

smf::Bytes on(uint8_t key, uint8_t channel = 0) { return {uint8_t(0x90 | channel), key, 100}; }
smf::Bytes off(uint8_t key, uint8_t channel = 0) { return {uint8_t(0x80 | channel), key, 0}; }
smf::Bytes cc(uint8_t number, uint8_t value, uint8_t channel = 0) { return {uint8_t(0xB0 | channel), number, value}; }
smf::Bytes tempo(uint32_t us) { return {0xFF, 0x51, 0x03, uint8_t(us >> 16), uint8_t(us >> 8), uint8_t(us)}; }
smf::Bytes marker(const std::string& text) {
    smf::Bytes event{0xFF, 0x06, uint8_t(text.size())};
    event.insert(event.end(), text.begin(), text.end());
    return event;
}
const smf::Bytes end_of_track{0xFF, 0x2F, 0x00};

smf::Bytes song(const std::vector<std::vector<Placed>>& tracks) {
    std::vector<smf::Track> built;
    for (const auto& events : tracks) {
        smf::Track track;
        uint32_t now = 0;
        for (const Placed& p : events) {
            track.raw(p.tick - now, p.event);
            now = p.tick;
        }
        built.push_back(track);
    }
    return smf::file(built, 96);
}

uint32_t word(const smf::Bytes& event) {
    if (event[0] == 0xFF) return 0x01000000u | uint32_t(event[3]) << 16 | uint32_t(event[4]) << 8 | event[5];
    return event[0] | uint32_t(event[1]) << 8 | (event.size() > 2 ? uint32_t(event[2]) << 16 : 0);
}

// A record of a pass: its tick from the pass's start, its word and, where
// given, the microseconds at which it is due.
struct Record {
    uint32_t tick;
    smf::Bytes event;
    double due_us = -1;
};

std::string describe(const TraceStream& stream) {
    std::string out;
    for (const TraceLine& line : stream.events) out += line.text + "\n";
    return out;
}

void expect_pass(const TraceStream& stream, const std::vector<Record>& expected) {
    SCOPED_TRACE(describe(stream));
    ASSERT_EQ(stream.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(stream.events[i].tick, expected[i].tick);
        EXPECT_EQ(stream.events[i].word, expected[i].event.empty() ? 0x02000000u : word(expected[i].event));
        if (expected[i].due_us >= 0) {
            EXPECT_NEAR(double(stream.events[i].due_us), expected[i].due_us, 1.0);
        }
    }
}

struct LoopCase {
    const char* name;
    std::vector<std::vector<Placed>> tracks;
    std::vector<Record> first, later;  // an empty event: the no-op that carries a pass to its end
    const char* line;                  // said once, or null
};

// An intro with a program, a pitch bend and a tempo change before a CC 111.
const std::vector<std::vector<Placed>> cc111_song = {{
    {0, tempo(500000)}, {0, {0xC0, 5}}, {0, {0xE0, 0x00, 0x50}}, {0, on(60)}, {48, off(60)}, {72, tempo(250000)},
    {96, cc(111, 0)}, {96, on(62)}, {144, off(62)}, {144, on(64)}, {192, off(64)}, {192, end_of_track}}};

// Markers on a track of their own; a note held across loopEnd, one starting
// at it and one after it; an intro note held across the loop start; an
// expression and a pitch bend that only the loop sets.
const std::vector<std::vector<Placed>> marker_song = {
    {{0, on(60)}, {0, on(59)}, {48, off(60)}, {96, on(62)}, {120, off(59)}, {150, cc(11, 60)},
     {150, {0xE0, 0x00, 0x30}}, {192, on(65)}, {240, off(62)}, {240, on(64)}, {288, off(64)}, {288, off(65)},
     {288, end_of_track}},
    {{96, marker("loopStart")}, {192, marker("LOOPEND")}, {300, end_of_track}}};

const LoopCase cases[] = {
    {"cc111 after an intro", cc111_song,
     {{0, tempo(500000)}, {0, {0xC0, 5}}, {0, {0xE0, 0x00, 0x50}}, {0, on(60)}, {48, off(60)},
      {72, tempo(250000)}, {96, cc(111, 0)}, {96, on(62)}, {144, off(62)}, {144, on(64)}, {192, off(64)}},
     // The tempo, program and bend of the intro, then the loop on its tempo.
     {{0, tempo(250000)}, {0, {0xC0, 5}}, {0, {0xE0, 0x00, 0x50}}, {0, cc(111, 0)}, {0, on(62), 0},
      {48, off(62), 125000}, {48, on(64), 125000}, {96, off(64), 250000}},
     nullptr},
    {"markers on another track", marker_song,
     {{0, on(60)}, {0, on(59)}, {48, off(60)}, {96, on(62)}, {120, off(59)}, {150, cc(11, 60)},
      {150, {0xE0, 0x00, 0x30}}, {192, off(62)}},
     // What the loop sets and the intro did not starts from its default.
     {{0, cc(11, 127)}, {0, {0xE0, 0x00, 0x40}}, {0, on(62)}, {24, off(59)}, {54, cc(11, 60)},
      {54, {0xE0, 0x00, 0x30}}, {96, off(62)}},
     nullptr},
    {"settings of every kind", {
         {{0, cc(0, 1, 3)}, {0, cc(32, 2, 3)}, {0, {0xC3, 16}}, {0, cc(101, 0, 3)}, {0, cc(100, 0, 3)},
          {0, cc(6, 12, 3)}, {0, cc(100, 1, 3)}, {0, cc(6, 80, 3)}, {0, cc(38, 3, 3)}, {1, cc(7, 90, 3)},
          {1, cc(96, 0, 3)}, {1, cc(64, 127, 3)}, {2, cc(7, 70, 3)}, {2, {0xE3, 1, 0x41}}, {2, {0xD3, 40}},
          {3, on(70, 3)}, {4, off(70, 3)}, {4, cc(111, 9, 5)}, {5, on(71, 3)}, {6, off(71, 3)},
          {6, end_of_track}}},
     // The sustain pedal, still down at the loop end, is let up there.
     {{0, cc(0, 1, 3)}, {0, cc(32, 2, 3)}, {0, {0xC3, 16}}, {0, cc(101, 0, 3)}, {0, cc(100, 0, 3)},
      {0, cc(6, 12, 3)}, {0, cc(100, 1, 3)}, {0, cc(6, 80, 3)}, {0, cc(38, 3, 3)}, {1, cc(7, 90, 3)},
      {1, cc(96, 0, 3)}, {1, cc(64, 127, 3)}, {2, cc(7, 70, 3)}, {2, {0xE3, 1, 0x41}}, {2, {0xD3, 40}},
      {3, on(70, 3)}, {4, off(70, 3)}, {4, cc(111, 9, 5)}, {5, on(71, 3)}, {6, off(71, 3)}, {6, cc(64, 0, 3)}},
     // Each parameter with its own data, the selection last made, the last
     // volume, no data increment; what comes at the loop start's tick
     // belongs to the loop.
     {{0, cc(0, 1, 3)}, {0, cc(32, 2, 3)}, {0, {0xC3, 16}}, {0, cc(7, 70, 3)}, {0, cc(64, 127, 3)},
      {0, cc(101, 0, 3)},
      {0, cc(100, 0, 3)}, {0, cc(6, 12, 3)}, {0, cc(101, 0, 3)}, {0, cc(100, 1, 3)}, {0, cc(6, 80, 3)},
      {0, cc(38, 3, 3)}, {0, cc(101, 0, 3)}, {0, cc(100, 1, 3)}, {0, {0xE3, 1, 0x41}}, {0, {0xD3, 40}},
      {0, off(70, 3)}, {0, cc(111, 9, 5)}, {1, on(71, 3)}, {2, off(71, 3)}, {2, cc(64, 0, 3)}},
     nullptr},
    {"loopEnd before loopStart",
     {{{0, on(60)}, {48, off(60)}, {96, on(62)}, {144, off(62)}, {144, end_of_track}},
      {{48, marker("loopEnd")}, {96, marker("loopStart")}, {144, end_of_track}}},
     {{0, on(60)}, {48, off(60)}, {96, on(62)}, {144, off(62)}},
     {{0, on(60)}, {48, off(60)}, {96, on(62)}, {144, off(62)}},
     "loop points not used in song.mid: a loopEnd comes before the loop start; the whole file loops\n"},
    {"loop start at the end",
     {{{0, on(60)}, {48, off(60)}, {96, cc(111, 0)}, {96, end_of_track}}},
     {{0, on(60)}, {48, off(60)}, {96, cc(111, 0)}},
     {{0, on(60)}, {48, off(60)}, {96, cc(111, 0)}},
     "loop points not used in song.mid: the loop starts at or after the end of the file; the whole file loops\n"},
};

// The first three streams of the trace: the first pass and two later ones.
void expect_passes(const LoopCase& c, const std::vector<TraceLine>& trace) {
    std::vector<TraceStream> streams = trace_streams(trace);
    ASSERT_GE(streams.size(), 3u);
    {
        SCOPED_TRACE("pass 1");
        expect_pass(streams[0], c.first);
    }
    for (size_t pass = 1; pass < 3; ++pass) {
        SCOPED_TRACE("pass " + std::to_string(pass + 1));
        expect_pass(streams[pass], c.later);
    }
}

TEST(LoopPoints, EachPassHoldsItsRecords) {
    for (const LoopCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write("song.mid", song(c.tracks));
        PlayerRun run(dir, "200", "song.mid", Timing::fast, {}, {}, {"--loop-points"});
        ASSERT_TRUE(run.child().wait_out_count("1", 3)) << run.child().err();
        run.child().close_stdin();
        ExitStatus status = run.child().wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        expect_passes(c, run.trace());
        const std::string err = run.child().err();
        EXPECT_EQ(count_of(err, c.line ? c.line : "loop points"), c.line ? 1u : 0u) << err;
    }
}

// Without the option each file plays whole, pass after pass, as the merge
// gives it; a name sent again starts from the file's beginning.
TEST(LoopPoints, WithoutTheOptionAndAfterANameTheFilePlaysWhole) {
    TempDir dir;
    dir.write("song.mid", song(cc111_song));
    PlayerRun plain(dir, "200", "song.mid");
    ASSERT_TRUE(plain.child().wait_out_count("1", 2));
    plain.child().close_stdin();
    plain.child().wait();
    std::vector<TraceStream> whole = trace_streams(plain.trace());
    ASSERT_GE(whole.size(), 2u);
    expect_pass(whole[0], cases[0].first);
    expect_pass(whole[1], cases[0].first);

    TempDir again;
    again.write("song.mid", song(cc111_song));
    PlayerRun run(again, "200", "song.mid", Timing::fast, {}, {}, {"--loop-points"});
    ASSERT_TRUE(run.child().wait_out_count("1", 2));
    run.send(name_command("song.mid"));
    // After the name, a pass that starts with the intro's first record.
    bool restarted = run.wait_trace([](const std::vector<TraceLine>& lines) {
        std::vector<TraceStream> streams = trace_streams(lines);
        for (size_t i = 2; i < streams.size(); ++i)
            if (!streams[i].events.empty() && streams[i].events[0].word == word(tempo(500000))) return true;
        return false;
    });
    run.child().close_stdin();
    run.child().wait();
    EXPECT_TRUE(restarted) << run.child().err();
}

// Each way of starting the player with the option plays the same passes.
TEST(LoopPoints, EachControllerPlaysTheSamePasses) {
    const LoopCase& c = cases[1];
    auto three_passes = [](const std::vector<TraceLine>& lines) {
        std::vector<TraceStream> streams = trace_streams(lines);
        return streams.size() >= 3 && streams[2].closed;
    };
    const std::string player = smfstream_binary();
    {
        SCOPED_TRACE("C++ library");
        TempDir dir;
        std::string path = dir.write("song.mid", song(c.tracks));
        smfstream::Options options;
        options.program = player;
        options.environment = {{"SMFSTREAM_DEVICE", "trace-fast:" + dir.file("trace")}};
        options.loop_points = true;
        smfstream::Player cpp;
        ASSERT_TRUE(cpp.start(200, path, options)) << cpp.diagnostics();
        ASSERT_TRUE(cpp.wait_for_passes(3, std::chrono::seconds(10)));
        cpp.stop();
        expect_passes(c, read_trace(dir.file("trace")));
    }
    {
        SCOPED_TRACE("Python module");
        TempDir dir;
        std::string path = dir.write("song.mid", song(c.tracks));
        SpawnOptions options;
        options.env["PYTHONPATH"] = SMFSTREAM_PYTHON_DIR;
        ChildProcess python({PYTHON3, "-c",
                             "import smfstream, sys\n"
                             "with smfstream.Player(200, sys.argv[2], program=sys.argv[1], loop_points=True,\n"
                             "        env={'SMFSTREAM_DEVICE': 'trace-fast:' + sys.argv[3]}) as p:\n"
                             "    p.wait_for_passes(3, timeout=10)\n",
                             player, path, dir.file("trace")},
                            options);
        ExitStatus status = python.wait(std::chrono::seconds(20));
        ASSERT_TRUE(status.exited && status.code == 0) << status.describe() << python.err();
        expect_passes(c, read_trace(dir.file("trace")));
    }
    {
        SCOPED_TRACE("smfstream-play");
        TempDir dir;
        std::string path = dir.write("song.mid", song(c.tracks));
        SpawnOptions options;
        options.env["SMFSTREAM_DEVICE"] = "trace-fast:" + dir.file("trace");
        options.env["PYTHONPATH"] = SMFSTREAM_PYTHON_DIR;
        ChildProcess play({PYTHON3, SMFSTREAM_PLAY_TOOL, "--player", player, "--loop", "--loop-points", "200", path},
                          options);
        TraceFollower trace(dir.file("trace"));
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!three_passes(trace.lines()) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            trace.poll();
        }
        play.send_signal(SIGINT);
        play.wait();
        expect_passes(c, read_trace(dir.file("trace")));
    }
}

}  // namespace
