// The C++ controller library (include/smfstream/controller.hpp) driving the
// real player on the trace device: the volume word on the trace, a switch,
// counting passes, names the protocol cannot carry, a player that is killed,
// a player whose standard error the program never reads, and the library's
// abuses: two threads in one call, a wrapper whose child hangs, SIGCHLD ignored.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <thread>

#include <smfstream/controller.hpp>

#include "e2e/songs.h"
#include "support/player_run.h"

namespace {

using namespace std::chrono_literals;

struct PlayerFixture {
    test::TempDir dir;
    std::string trace = dir.file("trace");
    std::string a = dir.write("a.mid", songs::short_song(60));
    std::string b = dir.write("b.mid", songs::short_song(72));
    smfstream::Player player;

    smfstream::Status start(int volume = 200) {
        smfstream::Options options;
        options.program = test::smfstream_binary();
        options.environment = {{"SMFSTREAM_DEVICE", "trace:" + trace}};
        return player.start(volume, a, options);
    }
    std::string trace_text() const { return test::read_text(trace); }
};

TEST(Controller, VolumeReachesTheDeviceAndStopEndsWithStatusZero) {
    PlayerFixture run;
    ASSERT_TRUE(run.start()) << run.player.diagnostics();
    ASSERT_TRUE(run.player.set_volume(100));
    // The control thread applies each volume it reads: the word 0x6464.
    test::TraceFollower trace(run.trace);
    const auto deadline = test::Clock::now() + 10s;
    bool seen = false;
    while (!seen && test::Clock::now() < deadline) {
        trace.poll();
        for (const test::TraceLine& line : trace.lines()) seen |= line.kind == test::TraceLine::volume && line.value == 0x6464;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(seen) << run.trace_text();
    EXPECT_EQ(run.player.set_volume(256).error, smfstream::errc::bad_volume);
    const auto ended = run.player.stop();
    ASSERT_TRUE(ended) << ended.message;
    EXPECT_TRUE(ended.value.exited);
    EXPECT_EQ(ended.value.code, 0);
    EXPECT_EQ(run.player.set_volume(1).error, smfstream::errc::not_running);
}

TEST(Controller, SwitchCountsTheCutPassAndPlaysTheNewFile) {
    PlayerFixture run;
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.player.wait_for_passes(3, 10s)) << run.player.diagnostics();  // a looping file
    const size_t before = run.player.passes();
    ASSERT_TRUE(run.player.play(run.b));
    // The cut pass's marker, then the new file's passes.
    const auto reached = run.player.wait_for_passes(before + 2, 10s);
    ASSERT_TRUE(reached) << reached.message;
    EXPECT_NE(run.player.diagnostics().find("New filename received: " + run.b), std::string::npos);
    EXPECT_TRUE(run.player.stop());
    bool key72 = false;
    for (const test::TraceLine& line : test::parse_trace(run.trace_text()))
        key72 |= line.kind == test::TraceLine::ev && songs::note_on_key(line.word) == 72;
    EXPECT_TRUE(key72) << "b.mid's note never played";
}

TEST(Controller, NamesTheProtocolCannotCarryAreRefusedBeforeAnythingIsWritten) {
    const struct {
        std::string name;
        bool sendable;
    } rows[] = {
        {"", false},
        {std::string(127, 'n'), true},
        {std::string(128, 'n'), false},  // low byte 0x80 would read as a volume
        {std::string(255, 'n'), false},
        {std::string(256, 'n'), false},  // low byte 0x00
        {std::string(257, 'n'), true},
        {std::string(smfstream::max_name_length, 'n'), true},
        {std::string(smfstream::max_name_length + 1, 'n'), false},
        {std::string("a\0b.mid", 7), false},
    };
    PlayerFixture run;
    ASSERT_TRUE(run.start());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name.size());
        EXPECT_EQ(smfstream::check_name(row.name).ok(), row.sendable);
        if (!row.sendable) {
            const smfstream::Status refused = run.player.play(row.name);
            EXPECT_EQ(refused.error, smfstream::errc::unsendable_name);
            EXPECT_FALSE(refused.message.empty());
        }
    }
    // Nothing reached the player before this volume command.
    ASSERT_TRUE(run.player.set_volume(7));
    ASSERT_TRUE(run.player.stop());
    const std::string err = run.player.diagnostics();
    const size_t first_command = err.find("got ");
    ASSERT_NE(first_command, std::string::npos) << err;
    EXPECT_EQ(err.compare(first_command, 8, "got 0 7\n"), 0) << err;
}

TEST(Controller, AKilledPlayerIsReportedNotWaitedOn) {
    PlayerFixture run;
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.player.wait_for_pass(10s));
    ASSERT_EQ(kill(run.player.process_id(), SIGKILL), 0);
    const auto start = test::Clock::now();
    const auto waited = run.player.wait_for_passes(1000000, 60s);
    EXPECT_EQ(waited.error, smfstream::errc::player_ended) << waited.message;
    EXPECT_LT(test::Clock::now() - start, 5s);
    // Writing to it neither raises SIGPIPE nor succeeds.
    EXPECT_EQ(run.player.set_volume(1).error, smfstream::errc::player_ended);
    EXPECT_EQ(run.player.play(run.b).error, smfstream::errc::player_ended);
    const auto ended = run.player.stop();
    EXPECT_FALSE(ended.value.exited);
    EXPECT_EQ(ended.value.signal, SIGKILL);
    EXPECT_FALSE(run.player.running());
}

TEST(Controller, StartFailuresAreReported) {
    smfstream::Player player;
    smfstream::Options options;
    options.program = "/nonexistent/smfstream";
    const smfstream::Status failed = player.start(200, "a.mid", options);
    EXPECT_EQ(failed.error, smfstream::errc::start_failed);
    EXPECT_NE(failed.message.find("/nonexistent/smfstream"), std::string::npos) << failed.message;
    EXPECT_EQ(player.start(300, "a.mid").error, smfstream::errc::bad_volume);
    EXPECT_EQ(player.set_volume(1).error, smfstream::errc::not_running);
}

// A player that hangs and no longer reads its input, while a thread of the
// controller is blocked writing a command to it: stop() still returns.
TEST(Controller, StopEndsAPlayerThatNoLongerReads) {
    test::TempDir dir;
    const std::string hung = dir.file("hung");
    {
        std::ofstream script(hung);
        script << "#!/bin/sh\nexec sleep 60\n";
    }
    ASSERT_EQ(chmod(hung.c_str(), 0755), 0);
    smfstream::Player player;
    smfstream::Options options;
    options.program = hung;
    ASSERT_TRUE(player.start(200, "a.mid", options));
    std::thread writer([&] {
        for (int i = 0; i < 100000 && player.set_volume(i % 256); ++i) {
        }
    });
    std::this_thread::sleep_for(200ms);  // the pipe is full by now
    const auto start = test::Clock::now();
    const auto ended = player.stop(500ms);
    writer.join();
    EXPECT_EQ(ended.error, smfstream::errc::timed_out) << ended.message;
    EXPECT_EQ(ended.value.signal, SIGKILL);
    EXPECT_LT(test::Clock::now() - start, 5s);
}

// A script as the program, started by `player` (in the fixture's folder).
std::string script(const test::TempDir& dir, const std::string& body) {
    const std::string path = dir.file("program");
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

// Whether the process has gone (or is a zombie, whose parent is gone too).
bool ended_soon(pid_t pid) {
    for (auto deadline = test::Clock::now() + 2s; test::Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
        const std::string stat = test::read_text("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z") return true;
    }
    return false;
}

// The ways a program may use the library that it promises to bear: each call
// returns, says what happened, and leaves no process behind.
TEST(Controller, AbusesOfTheLibraryAreBorne) {
    const struct {
        const char* name;
        std::function<void(PlayerFixture&)> abuse;
    } rows[] = {
        {"two threads stop at once: both get the same exit status, every time",
         [](PlayerFixture&) {
             for (int round = 0; round < 5; ++round) {
                 PlayerFixture run;
                 ASSERT_TRUE(run.start());
                 ASSERT_TRUE(run.player.wait_for_pass(10s));
                 smfstream::Result<smfstream::ExitStatus> ended[2];
                 std::thread other([&] { ended[1] = run.player.stop(); });
                 ended[0] = run.player.stop();
                 other.join();
                 for (const auto& one : ended) {
                     EXPECT_TRUE(one) << one.message;
                     EXPECT_EQ(one.value.describe(), "exit status 0");
                 }
             }
         }},
        {"two threads start at once: one player, and a clear status for the other",
         [](PlayerFixture& run) {
             smfstream::Status started[2];
             std::thread other([&] { started[1] = run.start(); });
             started[0] = run.start();
             other.join();
             EXPECT_NE(started[0].ok(), started[1].ok()) << started[0].message << " / " << started[1].message;
             EXPECT_EQ((started[0] ? started[1] : started[0]).error, smfstream::errc::already_started);
             EXPECT_TRUE(run.player.stop());
         }},
        {"a wrapper that does not exec a player that hangs: stop() kills both within its time-out",
         [](PlayerFixture& run) {
             const std::string child = run.dir.file("child");
             smfstream::Options options;
             options.program = script(run.dir, "sleep 60 & echo $! > " + child + "; wait");
             ASSERT_TRUE(run.player.start(200, run.a, options));
             while (test::read_text(child).empty()) std::this_thread::sleep_for(10ms);
             const auto start = test::Clock::now();
             const auto ended = run.player.stop(300ms);
             EXPECT_LT(test::Clock::now() - start, 300ms + smfstream::stop_grace);
             EXPECT_EQ(ended.error, smfstream::errc::timed_out) << ended.message;
             EXPECT_TRUE(ended_soon(std::stoi(test::read_text(child)))) << "the wrapper's child still runs";
         }},
        {"a program that ignores the end of its input, killed by the shorter of two stop()s: both say timed_out",
         [](PlayerFixture& run) {
             smfstream::Options options;
             options.program = script(run.dir, "exec sleep 60");
             ASSERT_TRUE(run.player.start(200, run.a, options));
             smfstream::Result<smfstream::ExitStatus> ended[2];
             const auto start = test::Clock::now();
             std::thread patient([&] { ended[0] = run.player.stop(5s); });
             std::this_thread::sleep_for(100ms);  // that stop() is waiting by now
             ended[1] = run.player.stop(200ms);
             patient.join();
             EXPECT_LT(test::Clock::now() - start, 5s);
             for (const auto& one : ended) {
                 EXPECT_EQ(one.error, smfstream::errc::timed_out) << one.message;
                 EXPECT_EQ(one.value.signal, SIGKILL);
             }
         }},
        {"a time-out of milliseconds::max(), for ever: the wait waits, and stop() lets the player exit by itself",
         [](PlayerFixture& run) {
             constexpr auto ever = std::chrono::milliseconds::max();
             ASSERT_TRUE(run.start());
             const auto passed = run.player.wait_for_pass(ever);
             EXPECT_TRUE(passed) << passed.message;
             const auto ended = run.player.stop(ever);
             EXPECT_TRUE(ended) << ended.message;
             EXPECT_EQ(ended.value.describe(), "exit status 0");
         }},
        {"a path with a zero byte is refused by start() as by play()",
         [](PlayerFixture& run) {
             smfstream::Options options;
             options.program = test::smfstream_binary();
             const auto refused = run.player.start(200, run.a + std::string("\0.mid", 5), options);
             EXPECT_EQ(refused.error, smfstream::errc::unsendable_name) << refused.message;
             EXPECT_FALSE(run.player.running());
         }},
        {"SIGCHLD ignored by the program: the exit status is said to be unknown, never ok",
         [](PlayerFixture& run) {
             struct sigaction ignore {}, previous{};
             ignore.sa_handler = SIG_IGN;
             sigaction(SIGCHLD, &ignore, &previous);
             ASSERT_TRUE(run.start());
             ASSERT_TRUE(run.player.wait_for_pass(10s));
             const auto ended = run.player.stop();
             sigaction(SIGCHLD, &previous, nullptr);
             EXPECT_EQ(ended.error, smfstream::errc::status_unknown) << ended.message;
             EXPECT_EQ(ended.value.describe(), "exit status unknown");
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PlayerFixture run;
        row.abuse(run);
    }
}

// The player writes about 50 bytes on standard error per volume command: far
// more than a pipe holds, unless the library drains it.
TEST(Controller, TheStandardErrorNobodyReadsNeverStallsThePlayer) {
    PlayerFixture run;
    ASSERT_TRUE(run.start());
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(run.player.set_volume(i % 256)) << i;
    ASSERT_TRUE(run.player.wait_for_pass(20s)) << run.player.diagnostics().substr(0, 200);
    const auto ended = run.player.stop(10s);
    EXPECT_TRUE(ended) << ended.message;
    EXPECT_LE(run.player.diagnostics().size(), 2u * 64 * 1024);
}

}  // namespace
