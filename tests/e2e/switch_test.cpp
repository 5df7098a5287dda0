// A controller steering a player that plays in real time: a name while a
// buffer plays ends the pass at once and the new file starts; the input's end
// ends the process; a file that ends by itself comes round after its whole
// length, its closing rest included. Bounds only gross failures (a switch
// seconds late, a hang, a loop that comes round early).
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "e2e/songs.h"
#include "support/player_run.h"

namespace {

using namespace test;

// The first key played by each stream of the trace (-1 for a stream with no note yet).
std::vector<int> first_keys(const std::vector<TraceLine>& trace) {
    std::vector<int> out;
    for (const TraceStream& s : trace_streams(trace)) out.push_back(s.events.empty() ? -1 : songs::note_on_key(s.events[0].word));
    return out;
}

// Whether stream `index` of the trace has played at least `count` records.
auto has_events(size_t index, size_t count = 1) {
    return [index, count](const std::vector<TraceLine>& trace) {
        std::vector<TraceStream> streams = trace_streams(trace);
        return streams.size() > index && streams[index].events.size() >= count;
    };
}

// Waits until the passes' messages are exactly these.
testing::AssertionResult has_pass_messages(PlayerRun& run, const std::vector<std::string>& paths,
                                           const std::string& expected) {
    if (run.child().wait_err([&](const std::string& e) { return pass_messages(e, paths) == expected; }, hang_bound))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the passes wrote:\n" << pass_messages(run.child().err(), paths);
}

class Switching : public testing::Test {
protected:
    void SetUp() override {
        dir.write("a.mid", songs::long_song(60, 10));
        dir.write("b.mid", songs::long_song(62, 10));
        dir.write("c.mid", songs::long_song(64, 10));
    }
    void finish(PlayerRun& run) {
        run.child().close_stdin();
        ExitStatus status = run.child().wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        EXPECT_TRUE(songs::only_markers(run.child().out())) << run.child().out();
    }
    TempDir dir;
};

TEST_F(Switching, NameWhileABufferPlaysEndsThePassAtOnce) {
    PlayerRun run(dir, "200", "a.mid", Timing::real_time);
    ASSERT_TRUE(run.wait_trace(has_events(0)));
    auto sent = Clock::now();
    ASSERT_TRUE(run.send(name_command("b.mid")));
    ASSERT_TRUE(run.wait_trace(has_events(1), 5s)) << run.child().err();
    EXPECT_LT(Clock::now() - sent, 2s);
    EXPECT_TRUE(run.child().wait_out_count("1", 1));
    // What the pass wrote may reach us after the record it preceded.
    EXPECT_TRUE(has_pass_messages(run, {"b.mid"}, "buffering...\nswitch to new file b.mid.\ndone.\nbuffering...\n"));
    finish(run);

    std::vector<TraceStream> streams = trace_streams(run.trace());
    ASSERT_GE(streams.size(), 2u);
    // a.mid stopped early, with its buffer still queued: given back by the reset.
    EXPECT_LT(streams[0].events.size(), 50u);
    EXPECT_TRUE(streams[0].reset);
    EXPECT_EQ(streams[0].done, 1u);
    EXPECT_TRUE(streams[0].closed);
    EXPECT_EQ(first_keys(run.trace())[1], 62);
    EXPECT_EQ(streams[1].events[0].tick, 0u);
    EXPECT_EQ(run.child().out(), "1");
}

TEST_F(Switching, SecondNameEndsThePassOfTheFirst) {
    PlayerRun run(dir, "200", "a.mid", Timing::real_time);
    ASSERT_TRUE(run.wait_trace(has_events(0)));
    ASSERT_TRUE(run.send(name_command("b.mid")));
    ASSERT_TRUE(run.wait_trace(has_events(1)));
    ASSERT_TRUE(run.send(name_command("c.mid")));
    ASSERT_TRUE(run.wait_trace(has_events(2)));
    EXPECT_TRUE(run.child().wait_out_count("1", 2));
    EXPECT_TRUE(has_pass_messages(run, {"b.mid", "c.mid"},
                                  "buffering...\nswitch to new file b.mid.\ndone.\nbuffering...\n"
                                  "switch to new file c.mid.\ndone.\nbuffering...\n"));
    finish(run);
    EXPECT_EQ(first_keys(run.trace()), (std::vector<int>{60, 62, 64}));
    EXPECT_EQ(run.child().out(), "11");
}

TEST_F(Switching, NamesBackToBackPlayTheLast) {
    PlayerRun run(dir, "200", "a.mid", Timing::real_time);
    ASSERT_TRUE(run.wait_trace(has_events(0)));
    smf::Bytes both = name_command("b.mid");
    smf::Bytes second = name_command("c.mid");
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(run.send(both));
    ASSERT_TRUE(run.wait_trace([](const std::vector<TraceLine>& t) {
        std::vector<int> keys = first_keys(t);
        return !keys.empty() && keys.back() == 64;
    }));
    std::this_thread::sleep_for(200ms);
    finish(run);
    // b.mid may have begun before c.mid's name arrived; c.mid is played last.
    std::vector<int> keys = first_keys(run.trace());
    EXPECT_EQ(keys.front(), 60);
    EXPECT_EQ(keys.back(), 64);
    EXPECT_LE(keys.size(), 3u);
}

TEST_F(Switching, NameOfThePlayingFileStartsItAgain) {
    PlayerRun run(dir, "200", "a.mid", Timing::real_time);
    ASSERT_TRUE(run.wait_trace(has_events(0, 3)));
    ASSERT_TRUE(run.send(name_command("a.mid")));
    ASSERT_TRUE(run.wait_trace(has_events(1, 3)));
    // The control thread's prompt may come between the two messages.
    EXPECT_TRUE(has_pass_messages(run, {"a.mid"}, "buffering...\nswitch to new file a.mid.\ndone.\nbuffering...\n"));
    finish(run);
    std::vector<TraceStream> streams = trace_streams(run.trace());
    ASSERT_GE(streams.size(), 2u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(streams[1].events[i].tick, streams[0].events[i].tick);
        EXPECT_EQ(streams[1].events[i].word, streams[0].events[i].word);
    }
}

// Every way out, with a note sounding: the pass stops through its own
// teardown (the device reset, then the stream closed) and the process ends
// with the status it always had: 0, or killed by the signal.
TEST_F(Switching, EveryWayOutResetsAndClosesTheStream) {
    const smf::Bytes held =
        smf::file({smf::Track().note_on(0, 0, 60, 100).note_off(10 * songs::ticks_per_second, 0, 60).end()}, songs::ppqn);
    const std::string prompt = "read from stdin...";
    struct Row {
        const char* what;
        smf::Bytes input;  // then the end of input; or, with a signal, nothing
        int signal;
        std::string control;
    };
    const Row rows[] = {
        {"end of input", {}, 0, prompt},
        {"a name cut short", {0x03, 0x00, 'a'}, 0,
         prompt + "got 3 0\nNew filename sending: 3 bytes\nnot enough data, got 1, expected 3 bytes\n"},
        {"SIGTERM", {}, SIGTERM, prompt},
        {"SIGINT", {}, SIGINT, prompt},
        {"SIGHUP", {}, SIGHUP, prompt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir here;
        here.write("held.mid", held);
        PlayerRun run(here, "200", "held.mid", Timing::real_time);
        ASSERT_TRUE(run.wait_trace(has_events(0)));
        ASSERT_TRUE(run.child().wait_err_contains(prompt));
        if (row.signal) {
            run.child().send_signal(row.signal);
        } else {
            ASSERT_TRUE(run.send(row.input));
            run.child().close_stdin();
        }
        ExitStatus status = run.child().wait(3s);
        if (row.signal)
            EXPECT_TRUE(status.signalled && status.signal == row.signal) << status.describe();
        else
            EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        EXPECT_EQ(run.child().out(), "");
        std::string err = run.child().err();
        EXPECT_EQ(control_messages(err, {}), row.control);
        EXPECT_EQ(pass_messages(err, {}), "buffering...\n");
        std::vector<TraceStream> streams = trace_streams(run.trace());
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(trace_shape(streams[0].lines), "open timediv restart ev reset done close");
    }
}

// The road of a typical run, message by message.
TEST_F(Switching, TypicalRun) {
    dir.write("other.mid", songs::long_song(65, 10));
    PlayerRun run(dir, "200", "a.mid", Timing::real_time);
    ChildProcess& child = run.child();
    ASSERT_TRUE(child.wait_err([](const std::string& e) {
        return e.find("read from stdin...") != std::string::npos && e.find("buffering...\n") != std::string::npos;
    }, hang_bound));
    ASSERT_TRUE(run.wait_trace(has_events(0)));
    std::string start = child.err();
    EXPECT_TRUE(start == "read from stdin...buffering...\n" || start == "buffering...\nread from stdin...") << start;

    // A volume while the stream plays goes to the stream; the device takes it.
    ASSERT_TRUE(run.send({0x00, 0x80}));
    ASSERT_TRUE(child.wait_err_count("read from stdin...", 2));
    EXPECT_EQ(child.err().substr(start.size()), "got 0 80\nNew volume received: 128\nread from stdin...");

    size_t before = child.err().size();
    ASSERT_TRUE(run.send(name_command("other.mid")));
    ASSERT_TRUE(child.wait_err_count("read from stdin...", 3));
    ASSERT_TRUE(child.wait_err_count("buffering...\n", 2));
    ASSERT_TRUE(run.wait_trace(has_events(1)));
    ASSERT_TRUE(child.wait_out_count("1", 1));
    std::string step = child.err().substr(before);
    // The prompt comes from the control thread, beside the pass's messages.
    size_t prompt = step.rfind("read from stdin...");
    ASSERT_NE(prompt, std::string::npos);
    EXPECT_EQ(step.substr(0, prompt) + step.substr(prompt + 18),
              "got 9 0\nNew filename sending: 9 bytes\nNew filename received: other.mid\n"
              "switch to new file other.mid.\ndone.\nbuffering...\n")
        << step;
    EXPECT_LT(step.find("New filename received"), prompt);
    EXPECT_EQ(child.out(), "1");
    finish(run);

    std::vector<TraceLine> trace = run.trace();
    std::vector<uint64_t> volumes;
    for (const TraceLine& line : trace)
        if (line.kind == TraceLine::volume) volumes.push_back(line.value);
    EXPECT_EQ(volumes, (std::vector<uint64_t>{0xC8C8, 0x8080, 0x8080}));
    EXPECT_EQ(first_keys(trace), (std::vector<int>{60, 65}));
}

// A controller that switches music at once (a game changing scene while the
// player starts) never hears the file it replaced: a name that arrives while
// a pass is still loading its file (here a 40 MB text event before the first
// note) ends that pass before its first buffer is queued. A run counts where
// the player said it received the name before the pass's first "buffering..."
// (a busy machine can leave the name unread until the file is loaded); runs
// until three count, or twelve are made.
TEST_F(Switching, AFileReplacedWhileItLoadsNeverSounds) {
    smf::Track slow;
    slow.text(0, std::string(40u << 20, 't')).note_on(0, 0, 60, 100).note_off(96, 0, 60).end();
    dir.write("slow.mid", smf::file({slow}, songs::ppqn));
    int counted = 0, sounded = 0;
    for (int run_number = 0; run_number < 12 && counted < 3; ++run_number) {
        PlayerRun run(dir, "200", "slow.mid", Timing::real_time);
        ASSERT_TRUE(run.send(name_command("b.mid")));
        ASSERT_TRUE(run.wait_trace([](const std::vector<TraceLine>& t) {
            std::vector<int> keys = first_keys(t);
            return !keys.empty() && keys.back() == 62;
        }));
        run.child().close_stdin();
        EXPECT_TRUE(run.child().wait().exited);
        const std::string err = run.child().err();
        if (err.find("New filename received: b.mid") > err.find("buffering...")) continue;
        ++counted;
        for (const TraceLine& line : run.trace())
            if (line.kind == TraceLine::ev && songs::note_on_key(line.word) == 60) {
                ++sounded;
                break;
            }
    }
    EXPECT_GT(counted, 0) << "the name never came before the first buffer";
    EXPECT_EQ(sounded, 0) << "of " << counted << " runs";
}

// A one-beat note in a four-beat bar: each pass lasts the whole bar, so the
// markers come a bar apart, not a beat apart; the trace shows each pass's
// closing rest as a no-op waited for until its due time.
TEST(Looping, MarkersComeABarApartForAOneBeatNoteInABar) {
    constexpr uint32_t tempo_us = 125000;  // a beat; the bar is 0.5 s
    TempDir dir;
    dir.write("bar.mid", smf::file({smf::Track().tempo(0, tempo_us).note_on(0, 0, 60, 100).note_off(96, 0, 60).end(288)},
                                   96));
    PlayerRun run(dir, "200", "bar.mid", Timing::real_time);
    ASSERT_TRUE(run.child().wait_out_count("1", 1));
    auto first = Clock::now();
    ASSERT_TRUE(run.child().wait_out_count("1", 4));
    double seconds = std::chrono::duration<double>(Clock::now() - first).count();
    run.child().close_stdin();
    ExitStatus status = run.child().wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    // Three bars: 1.5 s (a beat apart they would take 0.375 s).
    EXPECT_GT(seconds, 1.2);
    EXPECT_LT(seconds, 4.0);

    std::vector<TraceStream> streams = trace_streams(run.trace());
    ASSERT_GE(streams.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE("pass " + std::to_string(i));
        ASSERT_EQ(streams[i].events.size(), 4u);
        const TraceLine& rest = streams[i].events.back();
        EXPECT_EQ(rest.word, 0x02000000u);
        EXPECT_EQ(rest.tick, 384u);
        EXPECT_EQ(rest.due_us, 500000);
        EXPECT_GE(rest.at_us, rest.due_us);
        EXPECT_TRUE(streams[i].closed);
    }
}

}  // namespace
