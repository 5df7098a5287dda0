// The control channel of the real binary, fed bytes on standard input: how
// each command is read, what is written for it, which volume reaches the
// device, and how the input's end or a short name ends the process.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/songs.h"
#include "support/player_run.h"

namespace {

using namespace test;

smf::Bytes bytes(std::initializer_list<int> values) {
    smf::Bytes out;
    for (int v : values) out.push_back(uint8_t(v));
    return out;
}
smf::Bytes operator+(smf::Bytes a, const smf::Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
smf::Bytes text(const std::string& s) { return smf::Bytes(s.begin(), s.end()); }

std::vector<uint64_t> volume_words(const std::vector<TraceLine>& trace) {
    std::vector<uint64_t> out;
    for (const TraceLine& line : trace)
        if (line.kind == TraceLine::volume) out.push_back(line.value);
    return out;
}

const std::string prompt = "read from stdin...";

struct Row {
    const char* what;
    smf::Bytes input;
    std::string messages;            // the control thread's, after the first prompt
    std::vector<uint64_t> volumes;   // volume words after the command line's
    std::vector<std::string> paths;  // names the passes may report
};

// "smfstream 200 missing.mid", the input written at once and then closed.
// Every row ends with exit status 0.
TEST(ControlChannel, CommandsAreDecodedAsTheProtocolSays) {
    const std::string name128 = "x/" + std::string(126, 'n');
    const Row rows[] = {
        {"end of input at once", {}, "", {}, {}},
        {"one byte, then the end", bytes({0x05}), "", {}, {}},
        {"volume 200", bytes({0x00, 0xC8}), "got 0 c8\nNew volume received: 200\n" + prompt, {0xC8C8}, {}},
        {"B0 0xFF is a volume", bytes({0xFF, 0x10}), "got ff 10\nNew volume received: 16\n" + prompt, {0x1010}, {}},
        {"B0 0x80 is a volume", bytes({0x80, 0x00}), "got 80 0\nNew volume received: 0\n" + prompt, {0}, {}},
        {"line-end and end-of-file bytes pass untranslated", bytes({0x00, 0x0D, 0x00, 0x0A, 0x00, 0x1A, 0x00, 0x0D}),
         "got 0 d\nNew volume received: 13\n" + prompt + "got 0 a\nNew volume received: 10\n" + prompt +
             "got 0 1a\nNew volume received: 26\n" + prompt + "got 0 d\nNew volume received: 13\n" + prompt,
         {0x0D0D, 0x0A0A, 0x1A1A, 0x0D0D}, {}},
        {"a name", bytes({0x05, 0x00}) + text("a.mid"),
         "got 5 0\nNew filename sending: 5 bytes\nNew filename received: a.mid\n" + prompt, {0xC8C8}, {"a.mid"}},
        {"a name cut short", bytes({0x03, 0x00, 'a', 'b'}),
         "got 3 0\nNew filename sending: 3 bytes\nnot enough data, got 2, expected 3 bytes\n", {}, {}},
        {"a name with no byte", bytes({0x03, 0x00}),
         "got 3 0\nNew filename sending: 3 bytes\nnot enough data, got 0, expected 3 bytes\n", {}, {}},
        {"a length with B1 0x80 or more is unsigned", bytes({0x01, 0x80, 'a'}),
         "got 1 80\nNew filename sending: 32769 bytes\nnot enough data, got 1, expected 32769 bytes\n", {}, {}},
        {"a 128-byte name's length reads as a volume, its bytes as commands",
         bytes({0x80, 0x00}) + text(name128),
         "got 80 0\nNew volume received: 0\n" + prompt +
             "got 78 2f\nNew filename sending: 12152 bytes\nnot enough data, got 126, expected 12152 bytes\n",
         {0}, {}},
        {"length bytes 0x0A, 0x0D and 0x1A",
         bytes({0x0A, 0x00}) + text("0123456789") + bytes({0x0D, 0x00}) + text("abcdefghijklm") +
             bytes({0x1A, 0x00}) + text("ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
         "got a 0\nNew filename sending: 10 bytes\nNew filename received: 0123456789\n" + prompt +
             "got d 0\nNew filename sending: 13 bytes\nNew filename received: abcdefghijklm\n" + prompt +
             "got 1a 0\nNew filename sending: 26 bytes\nNew filename received: ABCDEFGHIJKLMNOPQRSTUVWXYZ\n" + prompt,
         {0xC8C8, 0xC8C8, 0xC8C8}, {"0123456789", "abcdefghijklm", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"}},
        {"a zero byte ends the name", bytes({0x0A, 0x00}) + text(std::string("b.mid\0junk", 10)),
         "got a 0\nNew filename sending: 10 bytes\nNew filename received: b.mid\n" + prompt, {0xC8C8}, {"b.mid"}},
        {"volumes and names in turn",
         bytes({0x00, 0x40, 0x03, 0x00, 'c', '.', 'm', 0x90, 0x41, 0x03, 0x00, 'd', '.', 'm'}),
         "got 0 40\nNew volume received: 64\n" + prompt +
             "got 3 0\nNew filename sending: 3 bytes\nNew filename received: c.m\n" + prompt +
             "got 90 41\nNew volume received: 65\n" + prompt +
             "got 3 0\nNew filename sending: 3 bytes\nNew filename received: d.m\n" + prompt,
         {0x4040, 0x4040, 0x4141, 0x4141}, {"c.m", "d.m"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        PlayerRun run(dir, "200", "missing.mid");
        ASSERT_TRUE(run.send(row.input));
        run.child().close_stdin();
        ExitStatus status = run.child().wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        std::vector<std::string> paths = row.paths;
        paths.push_back("missing.mid");
        EXPECT_EQ(control_messages(run.child().err(), paths), prompt + row.messages);
        std::vector<uint64_t> volumes{0xC8C8};
        volumes.insert(volumes.end(), row.volumes.begin(), row.volumes.end());
        EXPECT_EQ(volume_words(run.trace()), volumes);
        EXPECT_TRUE(songs::only_markers(run.child().out()));
    }
}

TEST(ControlChannel, LongestNamesAreTakenWhole) {
    // 32639 bytes (B0 = B1 = 0x7F), the longest the protocol allows, and
    // 65407 bytes (B1 = 0xFF, taken as unsigned), the longest the channel takes.
    for (size_t length : {size_t(32639), size_t(65407)}) {
        SCOPED_TRACE(length);
        TempDir dir;
        std::string name = "long/";
        while (name.size() < length) name += char('a' + name.size() % 26);
        PlayerRun run(dir, "200", "missing.mid");
        ASSERT_TRUE(run.child().wait_out_count("1", 1));
        ASSERT_TRUE(run.send(name_command(name)));
        ASSERT_TRUE(run.child().wait_out_count("1", 2)) << run.child().err().substr(0, 200);
        run.child().close_stdin();
        ExitStatus status = run.child().wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        const std::string err = run.child().err();
        EXPECT_NE(err.find("New filename sending: " + std::to_string(length) + " bytes\n"), std::string::npos);
        EXPECT_NE(err.find("New filename received: " + name + "\n"), std::string::npos);
        EXPECT_NE(err.find("could not open " + name + "\n"), std::string::npos);
        EXPECT_EQ(run.child().out(), "11");
    }
}

TEST(ControlChannel, MessagesWithALongNameAreNotSplitByTheOtherThread) {
    // The pass reports the long name while the control thread writes the
    // messages of the volume commands that follow it.
    TempDir dir;
    std::string name = "long/";
    while (name.size() < 65407) name += char('a' + name.size() % 26);
    PlayerRun run(dir, "200", "missing.mid");
    ASSERT_TRUE(run.child().wait_out_count("1", 1));
    smf::Bytes input = name_command(name);
    for (int i = 0; i < 1000; ++i) input = input + volume_command(uint8_t(i));
    ASSERT_TRUE(run.send(input));
    ASSERT_TRUE(run.child().wait_out_count("1", 2));
    ASSERT_TRUE(run.child().wait_err_count("read from stdin...", 1002));
    run.child().close_stdin();
    ExitStatus status = run.child().wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    const std::string err = run.child().err();
    EXPECT_NE(err.find("New filename received: " + name + "\n"), std::string::npos);
    size_t report = err.find("could not open long/");
    ASSERT_NE(report, std::string::npos);
    EXPECT_EQ(err.substr(report, name.size() + 16), "could not open " + name + "\n")
        << "torn after " << std::mismatch(name.begin(), name.end(), err.begin() + long(report) + 15).first - name.begin()
        << " bytes of the name";
}

TEST(ControlChannel, StandardErrorThatIsNeverReadStopsNothing) {
    // A command writes about 52 bytes on standard error and a pass about 32:
    // a 64 KiB pipe that nobody reads is full after some 1300 commands.
    TempDir dir;
    dir.write("song.mid", songs::notes(60, 3));
    SpawnOptions options;
    options.stderr_unread = true;
    PlayerRun run(dir, "200", "song.mid", Timing::real_time, {}, options);
    const size_t commands = 20000;
    smf::Bytes input;
    for (size_t i = 0; i < commands; ++i) input.insert(input.end(), {0x00, uint8_t(i)});
    ASSERT_TRUE(run.send(input));
    // Every command reaches the device, and the passes go on.
    EXPECT_TRUE(run.wait_trace([&](const std::vector<TraceLine>& t) { return volume_words(t).size() == commands + 1; },
                               30s));
    size_t markers = run.child().out().size();
    EXPECT_TRUE(run.child().wait_out_count("1", markers + 3));
    run.child().close_stdin();
    ExitStatus status = run.child().wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    EXPECT_TRUE(songs::only_markers(run.child().out()));
}

TEST(ControlChannel, NamesReachTheFileSystemByteForByte) {
    // A file whose name holds a carriage return, a line feed and 0x1A plays.
    TempDir dir;
    const std::string odd = "x\r\n\x1a.mid";
    dir.write(odd, songs::short_song(70));
    dir.write("b.mid", songs::short_song(71));
    PlayerRun run(dir, "200", "missing.mid");
    ASSERT_TRUE(run.child().wait_out_count("1", 1));
    ASSERT_TRUE(run.send(name_command(odd)));
    ASSERT_TRUE(run.wait_trace([](const std::vector<TraceLine>& t) {
        std::vector<TraceStream> streams = trace_streams(t);
        return !streams.empty() && !streams[0].events.empty();
    }));
    // A zero byte inside a name ends the path.
    ASSERT_TRUE(run.send(name_command(std::string("b.mid\0junk", 10))));
    ASSERT_TRUE(run.wait_trace([](const std::vector<TraceLine>& t) {
        for (const TraceStream& s : trace_streams(t))
            if (!s.events.empty() && songs::note_on_key(s.events[0].word) == 71) return true;
        return false;
    }));
    run.child().close_stdin();
    ExitStatus status = run.child().wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    std::vector<TraceStream> streams = trace_streams(run.trace());
    ASSERT_FALSE(streams.empty());
    ASSERT_FALSE(streams[0].events.empty());
    EXPECT_EQ(songs::note_on_key(streams[0].events[0].word), 70);
    EXPECT_EQ(count_of(run.child().err(), "could not open"), 1u);
}

}  // namespace
