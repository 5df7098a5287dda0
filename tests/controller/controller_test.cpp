// The C++ controller library (include/smfstream/controller.hpp) driving the
// real player on the trace device: the volume word on the trace, a switch,
// counting passes, names the protocol cannot carry, a player that is killed,
// a player whose standard error the program never reads, the library's
// abuses (two threads starting at once), and the scenarios of scenarios.txt,
// which the Python tests run too.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
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
        {"a path with a zero byte is refused by start() as by play()",
         [](PlayerFixture& run) {
             smfstream::Options options;
             options.program = test::smfstream_binary();
             const auto refused = run.player.start(200, run.a + std::string("\0.mid", 5), options);
             EXPECT_EQ(refused.error, smfstream::errc::unsendable_name) << refused.message;
             EXPECT_FALSE(run.player.running());
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PlayerFixture run;
        row.abuse(run);
    }
}

// One step of a scenario (scenarios.txt says what each does).
void run_step(PlayerFixture& run, const std::string& step, std::unique_ptr<struct sigaction>& sigchld) {
    using Ms = std::chrono::milliseconds;
    if (step.rfind("start", 0) == 0) {
        smfstream::Options options;
        options.program = test::smfstream_binary();
        options.environment = {{"SMFSTREAM_DEVICE", "trace:" + run.trace}};
        const std::string kind = step.size() > 6 ? step.substr(6) : "";
        if (kind == "deaf") options.program = script(run.dir, "exec sleep 60");
        if (kind == "wrapper") options.program = script(run.dir, "sleep 60 & echo $! > " + run.dir.file("child") + "; wait");
        if (kind == "slow-exit") options.program = script(run.dir, "'" + test::smfstream_binary() + "' \"$@\"; sleep 1");
        ASSERT_TRUE(run.player.start(200, run.a, options));
        if (kind == "wrapper")
            while (test::read_text(run.dir.file("child")).empty()) std::this_thread::sleep_for(10ms);
    } else if (step == "pass") {
        const auto passed = run.player.wait_for_pass(10s);
        ASSERT_TRUE(passed) << passed.message;
    } else if (step == "passes-go-on") {
        const auto passed = run.player.wait_for_passes(run.player.passes() + 2, 10s);
        ASSERT_TRUE(passed) << passed.message;
    } else if (step == "same-job") {
        EXPECT_EQ(getpgid(run.player.process_id()), getpgrp());
    } else if (step == "fork") {
        const auto forked = test::Clock::now();
        const pid_t child = fork();
        if (child == 0) {
            std::destroy_at(&run.player);
            _exit(0);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        bool exited = false;
        while (!(exited = waitpid(child, &status, WNOHANG) == child) && test::Clock::now() - forked < 3s)
            std::this_thread::sleep_for(5ms);
        if (!exited) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the forked child did not exit within 3 s";
        }
    } else if (step == "child-ended") {
        EXPECT_TRUE(ended_soon(std::stoi(test::read_text(run.dir.file("child"))))) << "the wrapper's child still runs";
    } else if (step == "sigchld-ignored") {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigchld = std::make_unique<struct sigaction>();
        sigaction(SIGCHLD, &ignore, sigchld.get());
    } else if (step.rfind("stop", 0) == 0) {
        const size_t equals = step.find('='), arrow = step.find("->");
        std::vector<Ms> timeouts;
        std::stringstream list(step.substr(equals + 1, arrow - equals - 1));
        for (std::string t; std::getline(list, t, ',');)
            timeouts.push_back(t == "ever" ? Ms::max() : t == "huge" ? Ms(1'000'000'000'000'000) : Ms(std::stoll(t)));
        const std::string outcome = step.substr(arrow + 2);
        std::vector<smfstream::Result<smfstream::ExitStatus>> ended(timeouts.size());
        std::vector<std::thread> others;
        for (size_t i = 1; i < timeouts.size(); ++i)
            others.emplace_back([&, i] { ended[i] = run.player.stop(timeouts[i]); });
        if (timeouts.size() > 1) std::this_thread::sleep_for(100ms);  // the other stop() is waiting by now
        ended[0] = run.player.stop(timeouts[0]);
        for (std::thread& other : others) other.join();
        for (const auto& one : ended) {
            if (outcome == "0") {
                EXPECT_EQ(one.value.describe() + (one ? "" : ": " + one.message), "exit status 0");
            } else if (outcome == "killed") {
                EXPECT_EQ(one.error, smfstream::errc::timed_out) << one.message;
                EXPECT_EQ(one.value.signal, SIGKILL);
            } else if (outcome == "refused") {
                EXPECT_EQ(one.error, smfstream::errc::bad_timeout) << one.message;
            } else {
                ASSERT_EQ(outcome, "unknown");
                EXPECT_EQ(one.error, smfstream::errc::status_unknown) << one.message;
                EXPECT_EQ(one.value.describe(), "exit status unknown");
            }
        }
    } else {
        FAIL() << "no such step";
    }
}

TEST(Controller, TheSharedScenariosHold) {
    std::ifstream file(SMFSTREAM_SCENARIOS);
    int run_rows = 0;
    for (std::string line; std::getline(file, line);) {
        const size_t bar = line.find(" | ");
        if (line.empty() || line[0] == '#' || line.rfind("[python]", 0) == 0 || bar == std::string::npos) continue;
        SCOPED_TRACE(line.substr(0, bar));
        ++run_rows;
        PlayerFixture run;
        std::unique_ptr<struct sigaction> sigchld;
        std::stringstream steps(line.substr(bar + 3));
        for (std::string step; steps >> step && !testing::Test::HasFatalFailure();) {
            SCOPED_TRACE(step);
            run_step(run, step, sigchld);
        }
        if (sigchld) sigaction(SIGCHLD, sigchld.get(), nullptr);
    }
    EXPECT_GE(run_rows, 9) << SMFSTREAM_SCENARIOS;
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
