// The entry and the pass loop as a controller sees them: the usage line, a
// file that cannot be opened, a file with nothing to play, the volume from the
// command line, and the marker after every pass.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "e2e/songs.h"
#include "support/player_run.h"

namespace {

using namespace test;

// Also an option other than --loop-points, or the option with one argument.
TEST(Entry, WrongArgumentCountWritesOnlyTheUsageLine) {
    TempDir dir;
    const std::vector<std::vector<std::string>> argument_lists = {
        {}, {"200"}, {"200", "a.mid", "extra"}, {"--loop", "200", "a.mid"}, {"--loop-points", "200", "a.mid", "b"}};
    for (const std::string& argv0 : {smfstream_binary(), std::string("some player")}) {
        for (const auto& arguments : argument_lists) {
            SCOPED_TRACE(argv0 + " with " + std::to_string(arguments.size()) + " arguments");
            std::vector<std::string> argv{argv0};
            argv.insert(argv.end(), arguments.begin(), arguments.end());
            SpawnOptions options;
            options.program = smfstream_binary();
            options.env["SMFSTREAM_DEVICE"] = "trace-fast:" + dir.file("trace");
            ChildProcess child(argv, options);
            ExitStatus status = child.wait(10s);
            EXPECT_TRUE(status.exited) << status.describe();
            EXPECT_NE(status.code, 0);
            EXPECT_EQ(child.err(), "Usage: " + argv0 + " <volume 0-255> <filename.mid>\n");
            EXPECT_EQ(child.out(), "");
            // No pass, no volume: the device was never used.
            EXPECT_EQ(read_text(dir.file("trace")), "");
        }
    }
}

TEST(Entry, MissingFileIsReportedOnceThenTheLoopWaitsForAName) {
    TempDir dir;
    PlayerRun run(dir, "200", "missing.mid");
    ChildProcess& child = run.child();
    ASSERT_TRUE(child.wait_out_count("1", 1));
    EXPECT_TRUE(child.wait_err_contains("could not open missing.mid\n"));
    // Not tried again without a new name.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(child.out(), "1");
    EXPECT_EQ(count_of(child.err(), "could not open"), 1u);

    // A new name starts a pass over it.
    run.send(name_command("other.mid"));
    ASSERT_TRUE(child.wait_out_count("1", 2));
    EXPECT_TRUE(child.wait_err_contains("could not open other.mid\n"));
    child.close_stdin();
    ExitStatus status = child.wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_EQ(child.out(), "11");
    EXPECT_EQ(pass_messages(child.err(), {"missing.mid", "other.mid"}),
              "could not open missing.mid\ncould not open other.mid\n");
}

TEST(Entry, NamesOfWhatIsNoRegularFileAreRefusedAtOnce) {
    // A FIFO with no writer would hold the open for ever; a folder has no
    // size; a file over the limit would take its size in memory. Each gets its
    // line and its marker at once, and the valid name after them plays.
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.mid").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.file("folder.mid").c_str(), 0755), 0);
    dir.write("big.mid", smf::file({}));
    ASSERT_EQ(truncate(dir.file("big.mid").c_str(), (off_t(256) << 20) + 1), 0);
    dir.write("song.mid", songs::notes(61, 3));
    PlayerRun run(dir, "200", "missing.mid");
    ChildProcess& child = run.child();
    ASSERT_TRUE(child.wait_out_count("1", 1));
    const std::pair<std::string, std::string> names[] = {
        {"fifo.mid", "could not open fifo.mid\n"},
        {"folder.mid", "could not open folder.mid\n"},
        {"big.mid", "could not open big.mid: larger than 256 MiB\n"},
        // A name can neither drive the terminal nor start a line of its own.
        {"\x1b[2J\r\nnot a Standard MIDI File: x.mid\xff",
         "could not open \\x1b[2J\\r\\nnot a Standard MIDI File: x.mid\\xff\n"},
    };
    size_t markers = 1;
    for (const auto& [name, line] : names) {
        SCOPED_TRACE(name);
        run.send(name_command(name));
        ASSERT_TRUE(child.wait_out_count("1", ++markers));
        EXPECT_TRUE(child.wait_err_contains(line)) << child.err();
    }
    run.send(name_command("song.mid"));
    EXPECT_TRUE(run.wait_trace([](const std::vector<TraceLine>& t) {
        for (const TraceStream& s : trace_streams(t))
            if (!s.events.empty() && songs::note_on_key(s.events[0].word) == 61) return true;
        return false;
    }));
    child.close_stdin();
    ExitStatus status = child.wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_EQ(child.err().find_first_of("\x1b\r"), std::string::npos);
}

TEST(Entry, AClosedStandardStreamLeavesTheTraceAlone) {
    // Started with standard error (or output) closed, the trace file the
    // device opens would take its number and receive the messages (markers).
    for (int fd : {2, 1}) {
        SCOPED_TRACE(fd);
        TempDir dir;
        dir.write("song.mid", songs::notes(60, 3));
        SpawnOptions options;
        options.closed_fds = {fd};
        PlayerRun run(dir, "200", "song.mid", Timing::fast, {}, options);
        ASSERT_TRUE(run.wait_trace([](const std::vector<TraceLine>& t) { return trace_streams(t).size() >= 3; }));
        run.child().close_stdin();
        ExitStatus status = run.child().wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        for (const TraceLine& line : run.trace()) EXPECT_NE(line.kind, TraceLine::unknown) << line.text;
        EXPECT_EQ(read_text(run.trace_path()).back(), '\n');
    }
}

// A pass in which no musical time passes (nothing placed, every record at
// tick 0, or ticks that a tempo of 0 or a division of 0 makes last no time)
// has nothing to play:
// one marker, then the loop waits for a name instead of replaying the file
// thousands of times a second.
TEST(Entry, FilesWithNothingToPlayEndThePassAndTheLoopWaits) {
    struct Row {
        const char* what;
        smf::Bytes file;
        const char* shape;     // the stream in the trace
        const char* messages;  // the pass's
    };
    const char* nothing = "open timediv restart reset close";
    const char* empty = "buffering...\nnothing to play in empty.mid\ndone.\n";
    const char* one_fill = "buffering...\nbuffering...\nnothing to play in empty.mid\ndone.\n";
    const Row rows[] = {
        {"no tracks", smf::file({}), nothing, empty},
        {"only End of Track", smf::file({smf::Track().end(), smf::Track().text(0, "words").end()}), nothing, empty},
        {"header only, announcing tracks", smf::file({}, 96, 1, 3), nothing, empty},
        {"every record at tick 0",
         smf::file({smf::Track().tempo(0, 400000).end(), smf::Track().program(0, 0, 5).note_on(0, 0, 60, 1).end()}),
         "open timediv restart ev ev ev done reset close", one_fill},
        {"a tempo of 0",
         smf::file({smf::Track().tempo(0, 0).note_on(0, 0, 60, 1).note_off(96, 0, 60).end(96)}),
         "open timediv restart ev ev ev ev done reset close", one_fill},
        {"a division of 0 ticks per quarter note",
         smf::file({smf::Track().note_on(0, 0, 60, 1).note_off(96, 0, 60).end(96)}, 0),
         "open timediv restart ev ev ev done reset close", one_fill},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        dir.write("empty.mid", row.file);
        PlayerRun run(dir, "200", "empty.mid");
        ChildProcess& child = run.child();
        ASSERT_TRUE(child.wait_out_count("1", 1));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(child.out(), "1");
        child.close_stdin();
        ExitStatus status = child.wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        EXPECT_EQ(pass_messages(child.err(), {"empty.mid"}), row.messages);
        std::vector<TraceStream> streams = trace_streams(run.trace());
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(trace_shape(streams[0].lines), row.shape);
    }
}

TEST(Entry, VolumeArgumentKeepsItsLowEightBits) {
    struct Row {
        const char* argument;
        uint64_t word;
    };
    for (Row row : {Row{"200", 0xC8C8}, Row{"300", 0x2C2C}, Row{"-1", 0xFFFF}, Row{"255", 0xFFFF},
                    Row{"0", 0}, Row{"loud", 0}}) {
        SCOPED_TRACE(row.argument);
        TempDir dir;
        PlayerRun run(dir, row.argument, "missing.mid");
        ASSERT_TRUE(run.child().wait_err_contains("read from stdin..."));
        run.child().close_stdin();
        ExitStatus status = run.child().wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        std::vector<TraceLine> trace = run.trace();
        ASSERT_EQ(trace.size(), 1u);
        EXPECT_EQ(trace[0].kind, TraceLine::volume);
        EXPECT_EQ(trace[0].value, row.word);
    }
}

TEST(Entry, WithoutADeviceEachPassFailsOnceAndTheLoopWaitsForAName) {
    TempDir dir;
    dir.write("song.mid", songs::notes(60, 3));
    // A trace file that cannot be created: device 0 cannot be opened.
    PlayerRun run(dir, "200", "song.mid", Timing::fast,
                  {{"SMFSTREAM_DEVICE", "trace-fast:" + dir.file("no-such-folder/trace")}});
    ChildProcess& child = run.child();
    ASSERT_TRUE(child.wait_out_count("1", 1));
    ASSERT_TRUE(child.wait_err_contains("read from stdin..."));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(child.out(), "1");
    run.send(name_command("song.mid"));
    ASSERT_TRUE(child.wait_out_count("1", 2));
    ASSERT_TRUE(child.wait_err_count("read from stdin...", 2));
    child.close_stdin();
    ExitStatus status = child.wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_EQ(child.out(), "11");

    // The layer says once why there is no device 0; each pass names the call
    // that failed; the volume falls back to the mixer, which cannot be opened
    // either.
    std::string err = child.err();
    size_t why = err.find("smfstream: no MIDI output: ");
    ASSERT_NE(why, std::string::npos);
    err.erase(why, err.find('\n', why) + 1 - why);
    EXPECT_EQ(pass_messages(err, {"song.mid"}), "midiStreamOpen failed: 6\nmidiStreamOpen failed: 6\n");
    const std::string refused =
        "Cannot set volume via midi...Reason: unknown\nERROR: Can't open Mixer Device! -- 00000002\n"
        "MMSYSERR_BADDEVICEID\n";
    EXPECT_EQ(control_messages(err, {}), refused + "read from stdin...got 8 0\nNew filename sending: 8 bytes\n"
                                          "New filename received: song.mid\n" + refused + "read from stdin...");
}

// A broken file's faults are said by its first pass, not by the loop's later
// ones; a name received again, even the same, says them again.
TEST(Entry, BrokenFileIsSaidOncePerName) {
    TempDir dir;
    dir.write("cut.mid", smf::file({smf::Track().note_on(0, 0, 60, 1).note_off(96, 0, 60)}));
    const std::string cut_off = "cut.mid: track 1 is cut off at offset 0x1e (no End of Track)\n";
    PlayerRun run(dir, "200", "cut.mid");
    ASSERT_TRUE(run.child().wait_out_count("1", 3));
    run.send(name_command("cut.mid"));
    // The markers counted are those of passes after the name was taken in.
    ASSERT_TRUE(run.child().wait_err_contains("New filename received: cut.mid\n"));
    ASSERT_TRUE(run.child().wait_out_count("1", run.child().out().size() + 3));
    run.child().close_stdin();
    run.child().wait();
    EXPECT_EQ(count_of(run.child().err(), cut_off), 2u);
}

TEST(Entry, FileThatEndsByItselfPlaysAgainAtOnce) {
    TempDir dir;
    dir.write("song.mid", songs::notes(60, 3));
    PlayerRun run(dir, "200", "song.mid");
    ChildProcess& child = run.child();
    ASSERT_TRUE(child.wait_out_count("1", 3)) << child.err();
    child.close_stdin();
    ExitStatus status = child.wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_TRUE(songs::only_markers(child.out())) << child.out();

    // Each marker follows one whole pass over the file, from its start.
    std::vector<TraceStream> streams = trace_streams(run.trace());
    size_t markers = child.out().size();
    ASSERT_GE(streams.size(), markers);
    for (size_t i = 0; i < markers; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(streams[i].events.size(), 6u);
        EXPECT_EQ(streams[i].events.front().tick, 0u);
        EXPECT_EQ(streams[i].events.back().word, 0x00003C80u);
        EXPECT_TRUE(streams[i].closed);
    }
}

}  // namespace
