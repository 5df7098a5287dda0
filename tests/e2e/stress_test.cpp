// Thousands of random commands (volumes, names of files that exist and of files
// that do not) while the player plays: it neither crashes nor hangs, reads
// every command, and every name it receives ends the running pass and is
// played by a later pass unless a newer name replaces it first. Run under
// ThreadSanitizer in CI: a race there ends the child with status 66.
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <thread>

#include "e2e/songs.h"
#include "support/player_run.h"

namespace {

using namespace test;

// The note-on word that identifies real file i, and back.
uint32_t identity_word(uint32_t i) { return 0x90u | (i % 16) | ((i / 16) % 128) << 8 | (1 + i / 2048) << 16; }
int identity_of(uint32_t word) {
    if ((word & 0xF0) != 0x90) return -1;
    return int((word & 0x0F) + ((word >> 8) & 0x7F) * 16 + (((word >> 16) & 0x7F) - 1) * 2048);
}

smf::Bytes identity_song(uint32_t i) {
    uint32_t word = identity_word(i);
    smf::Track track;
    track.raw(0, {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16)});
    track.note_off(3, uint8_t(word & 0x0F), uint8_t(word >> 8));
    track.end();
    return smf::file({track});
}

struct Sent {
    std::vector<std::string> names;  // in order; index = the name's number
    std::vector<bool> real;          // whether names[i] is a file that exists
    size_t commands = 0, volumes = 0;
};

// Parses standard error into the happenings whose order matters, and checks
// them against what was sent.
void check_order(const std::string& err, const Sent& sent, const std::string& first_path) {
    std::map<std::string, int> number;
    number[first_path] = -1;
    for (size_t i = 0; i < sent.names.size(); ++i) number[sent.names[i]] = int(i);
    const std::string received = "New filename received: ", switched = "switch to new file ",
                      failed = "could not open ";
    int latest = -1;                 // the latest name received so far
    int last_missing_pass = -1;      // the name of the latest pass that could not open its file
    size_t received_count = 0;
    size_t at = 0;
    while (at < err.size()) {
        auto starts = [&](const std::string& text) { return err.compare(at, text.size(), text) == 0; };
        bool known = starts(received) || starts(switched) || starts(failed);
        size_t end = known ? err.find('\n', at) : std::string::npos;
        if (known) {
            ASSERT_NE(end, std::string::npos) << err.substr(at, 200);
        }
        if (starts(received)) {
            std::string name = err.substr(at + received.size(), end - at - received.size());
            ASSERT_EQ(number.count(name), 1u) << name;
            // Names arrive whole and in order.
            ASSERT_EQ(number[name], latest + 1);
            latest = number[name];
            ++received_count;
            at = end + 1;
        } else if (starts(switched)) {
            // The pass ends on the newest name there is.
            std::string name = err.substr(at + switched.size(), end - at - switched.size() - 1);
            ASSERT_EQ(number.count(name), 1u) << name;
            EXPECT_EQ(number[name], latest);
            at = end + 1;
        } else if (starts(failed)) {
            std::string name = err.substr(at + failed.size(), end - at - failed.size());
            ASSERT_EQ(number.count(name), 1u) << name;
            // A pass plays a name already received, never one older than an earlier pass's.
            EXPECT_LE(number[name], latest);
            EXPECT_GE(number[name], last_missing_pass);
            last_missing_pass = number[name];
            at = end + 1;
        } else {
            at = std::min(err.size(), at + 1);
        }
    }
    EXPECT_EQ(received_count, sent.names.size());
}

TEST(Stress, RandomCommandsWhilePlaying) {
    TempDir dir;
    const uint32_t real_files = 400;
    for (uint32_t i = 0; i < real_files; ++i) dir.write("real-" + std::to_string(i) + ".mid", identity_song(i));
    dir.write("start.mid", songs::notes(60, 40));

    std::mt19937 random(20261209);
    Sent sent;
    std::vector<uint8_t> input;
    uint32_t next_real = 0;
    const size_t commands = 3000;
    for (size_t c = 0; c < commands; ++c) {
        uint32_t kind = random() % 10;
        if (kind < 6) {
            uint8_t b0 = random() % 2 ? 0x00 : uint8_t(0x80 + random() % 128);
            input.push_back(b0);
            input.push_back(uint8_t(random()));
            ++sent.volumes;
        } else {
            bool real = kind < 8 && next_real < real_files;
            std::string name = real ? "real-" + std::to_string(next_real++) + ".mid"
                                    : "missing-" + std::to_string(c) + ".mid";
            smf::Bytes command = name_command(name);
            input.insert(input.end(), command.begin(), command.end());
            sent.names.push_back(name);
            sent.real.push_back(real);
        }
        ++sent.commands;
    }

    PlayerRun run(dir, "200", "start.mid");
    // Random pieces with random pauses, so that commands meet the passes at
    // every point: opening, playing, between passes.
    size_t at = 0;
    while (at < input.size()) {
        size_t piece = std::min(input.size() - at, size_t(1 + random() % 64));
        ASSERT_TRUE(run.child().write(input.data() + at, piece)) << run.child().err().substr(0, 500);
        at += piece;
        if (random() % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    // The last name is played before the input ends.
    const std::string& last = sent.names.back();
    if (sent.real.back()) {
        int wanted = int(next_real - 1);
        EXPECT_TRUE(run.wait_trace([wanted](const std::vector<TraceLine>& t) {
            for (auto it = t.rbegin(); it != t.rend(); ++it)
                if (it->kind == TraceLine::ev && identity_of(it->word) == wanted) return true;
            return false;
        }, 30s));
    } else {
        EXPECT_TRUE(run.child().wait_err_contains("could not open " + last + "\n", 30s));
    }
    run.child().close_stdin();
    ExitStatus status = run.child().wait(30s);
    ASSERT_TRUE(status.exited && status.code == 0) << status.describe() << "\n"
                                                   << run.child().err().substr(0, 2000);

    const std::string err = run.child().err();
    EXPECT_EQ(count_of(err, "got "), sent.commands);
    EXPECT_EQ(count_of(err, "New volume received: "), sent.volumes);
    EXPECT_EQ(count_of(err, "New filename sending: "), sent.names.size());
    check_order(err, sent, "start.mid");
    EXPECT_TRUE(songs::only_markers(run.child().out()));

    // The real files' passes, from the trace: each starts from its file's
    // beginning and never goes back to an older name.
    int previous = -1;
    size_t streams = 0;
    for (const TraceStream& stream : trace_streams(run.trace())) {
        ++streams;
        if (stream.events.empty()) continue;
        int identity = identity_of(stream.events[0].word);
        if (stream.events[0].word == 0x00643C90u) continue;  // start.mid
        ASSERT_GE(identity, 0) << stream.events[0].text;
        EXPECT_GE(identity, previous);
        previous = identity;
    }
    // Every pass that ended says "done." or could not open its file; a pass
    // replaced while it loaded opened no stream, so the trace misses it.
    EXPECT_LE(streams, count_of(err, "done.\n") + 1);
    const size_t passes = count_of(err, "done.\n") + count_of(err, "could not open ");
    // One marker per pass that ended; the process may have ended one between
    // its "done." and its marker.
    size_t markers = run.child().out().size();
    std::cout << sent.commands << " commands (" << sent.names.size() << " names): " << passes << " passes, "
              << count_of(err, "switch to new file") << " ended by a name, " << count_of(err, "could not open ")
              << " on missing files\n";
    EXPECT_TRUE(markers == passes || markers + 1 == passes) << markers << " markers, " << passes << " passes";
}

// Names one at a time, each waited for: every name is played, in turn.
TEST(Stress, EveryNameLeadsToAPassOverIt) {
    TempDir dir;
    for (uint32_t i = 0; i < 40; ++i) dir.write("real-" + std::to_string(i) + ".mid", identity_song(i));
    dir.write("start.mid", songs::notes(60, 40));
    PlayerRun run(dir, "200", "start.mid");
    std::mt19937 random(7);
    for (uint32_t i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        if (random() % 2) {
            ASSERT_TRUE(run.send(volume_command(uint8_t(random()))));
        }
        if (random() % 3 == 0) {
            std::string missing = "missing-" + std::to_string(i) + ".mid";
            ASSERT_TRUE(run.send(name_command(missing)));
            ASSERT_TRUE(run.child().wait_err_contains("could not open " + missing + "\n"));
        }
        ASSERT_TRUE(run.send(name_command("real-" + std::to_string(i) + ".mid")));
        ASSERT_TRUE(run.wait_trace([i](const std::vector<TraceLine>& t) {
            for (auto it = t.rbegin(); it != t.rend(); ++it)
                if (it->kind == TraceLine::ev && (it->word & 0xF0) == 0x90) return identity_of(it->word) == int(i);
            return false;
        })) << run.child().err().substr(0, 1000);
    }
    run.child().close_stdin();
    ExitStatus status = run.child().wait(10s);
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
}

}  // namespace
