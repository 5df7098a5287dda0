// One pass against a scripted stream device: the calls in their order with
// their arguments, the messages, and the teardown each failure leaves by.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "playback/file_image.h"
#include "playback/play_file.h"
#include "state/player_state.h"
#include "support/capture_stderr.h"
#include "support/child_process.h"
#include "support/scripted_stream.h"
#include "support/smf_writer.h"

namespace {

using scripted_stream::Call;

smf::Bytes notes(uint32_t count) {
    smf::Track track;
    for (uint32_t i = 0; i < count; ++i) track.note_on(i % 3, 0, uint8_t(i % 128), 64);
    track.end();
    return smf::file({track}, 480);
}

class PlayFile : public testing::Test {
protected:
    static void SetUpTestSuite() { init_player_state(); }
    void SetUp() override {
        scripted_stream::reset();
        player_state.names_received = player_state.pass_names_seen = 0;
        path = dir.write("song.mid", notes(3));
    }
    // Runs one pass over path; returns what it wrote.
    std::string pass() {
        std::string err = test::stderr_of([&] { EXPECT_EQ(play_file(path.c_str()), 0); });
        // Nothing names the closed stream or event afterwards.
        EXPECT_EQ(player_state.stream_handle, nullptr);
        EXPECT_EQ(player_state.wake_event, nullptr);
        return err;
    }
    test::TempDir dir;
    std::string path;
};

const std::string opening = "midiStreamOpen midiStreamProperty midiOutPrepareHeader midiStreamRestart";
const std::string teardown = "midiOutReset midiOutUnprepareHeader midiStreamClose";

// What the device needs from the pass: device 0 with the pass's callback,
// the file's own division, one header declaring 6144 bytes and queued with
// the fill's byte count; the stream published to the control thread while
// it is used and withdrawn before it is closed.
TEST_F(PlayFile, TheStreamGetsTheFilesDivisionAndItsBuffer) {
    EXPECT_EQ(pass(), "buffering...\nbuffering...\ndone.\n");
    EXPECT_EQ(scripted_stream::call_names(), opening + " midiStreamOut " + teardown);
    EXPECT_TRUE(player_state.pass_played_through);
    const auto& calls = scripted_stream::calls();

    const Call& open = calls[0];
    EXPECT_EQ(open.device, 0u);
    EXPECT_EQ(open.callback, reinterpret_cast<DWORD_PTR>(&stream_callback));
    EXPECT_EQ(open.flags, DWORD(CALLBACK_FUNCTION));

    const Call& property = calls[1];
    EXPECT_EQ(property.flags, DWORD(MIDIPROP_SET | MIDIPROP_TIMEDIV));
    EXPECT_EQ(property.cb_struct, 8u);
    EXPECT_EQ(property.time_division, 480u);

    const Call& prepare = calls[2];
    EXPECT_EQ(prepare.header.dwBufferLength, 6144u);
    EXPECT_EQ(prepare.header.dwBytesRecorded, 6144u);
    EXPECT_EQ(prepare.header_size, sizeof(MIDIHDR));

    const Call& out = calls[4];
    EXPECT_EQ(out.header.lpData, prepare.header.lpData);
    EXPECT_EQ(out.header.dwBytesRecorded, 36u);
    for (size_t i = 1; i < calls.size() - 1; ++i) EXPECT_TRUE(calls[i].published) << calls[i].name;
    EXPECT_FALSE(calls.back().published);
}

TEST_F(PlayFile, OneBufferPerFillOfAtMost511Records) {
    path = dir.write("long.mid", notes(1200));
    EXPECT_EQ(pass(), "buffering...\nbuffering...\nbuffering...\nbuffering...\ndone.\n");
    EXPECT_EQ(scripted_stream::call_names(),
              opening + " midiStreamOut midiStreamOut midiStreamOut " + teardown);
    const auto& calls = scripted_stream::calls();
    EXPECT_EQ(calls[4].header.dwBytesRecorded, 511u * 12);
    EXPECT_EQ(calls[5].header.dwBytesRecorded, 511u * 12);
    EXPECT_EQ(calls[6].header.dwBytesRecorded, 178u * 12);
    // The same header, prepared once.
    EXPECT_EQ(calls[6].header.lpData, calls[4].header.lpData);
}

TEST_F(PlayFile, NothingToPlayOpensAndClosesTheStream) {
    path = dir.write("empty.mid", smf::file({}));
    EXPECT_EQ(pass(), "buffering...\nnothing to play in " + path + "\ndone.\n");
    EXPECT_EQ(scripted_stream::call_names(), opening + " " + teardown);
    EXPECT_FALSE(player_state.pass_played_through);
}

TEST_F(PlayFile, NameWhileTheBufferPlaysEndsThePass) {
    scripted_stream::script().on_queue = scripted_stream::OnQueue::name_arrives;
    scripted_stream::script().arriving_name = "other.mid";
    path = dir.write("long.mid", notes(1200));
    EXPECT_EQ(pass(), "buffering...\nswitch to new file other.mid.\ndone.\n");
    // The reset gives back the buffer still queued before it is unprepared.
    EXPECT_EQ(scripted_stream::call_names(), opening + " midiStreamOut " + teardown);
    EXPECT_FALSE(player_state.pass_played_through);
    EXPECT_TRUE(name_arrived_since_pass_start());
}

// A broken file plays what it can; each fault is one line naming the file,
// the track and the byte offset.
TEST_F(PlayFile, BrokenFileIsSaidWhereItBreaks) {
    const smf::Track whole = smf::Track{}.note_on(0, 0, 60, 1).note_off(96, 0, 60).end();  // 12 bytes
    smf::Bytes cut_short = smf::file({whole, whole});
    cut_short.resize(smf_header_bytes + 8 + 12 + 8 + 6);  // in track 2's note-off, at 0x2e
    struct Row {
        smf::Bytes file;
        std::string messages;
        std::string controls = "";  // in the file's name
    };
    const Row rows[] = {
        {smf::file({smf::Track{}.note_on(0, 0, 60, 1).note_off(96, 0, 60), whole}),
         "buffering...\n@: track 1 is cut off at offset 0x1e (no End of Track)\nbuffering...\ndone.\n"},
        // A song position cut off after its first data byte: said where it starts.
        {smf::file({smf::Track{}.note_on(0, 0, 60, 1).note_off(96, 0, 60).raw(0, {0xF2, 0x05}), whole}),
         "buffering...\n@: track 1 is cut off at offset 0x1e (no End of Track)\nbuffering...\ndone.\n"},
        {cut_short, "@: track 2's chunk at offset 0x22 runs past the end of the file (0x30)\nbuffering...\n"
                    "@: track 2 is cut off at offset 0x2e (no End of Track)\nbuffering...\ndone.\n"},
        {smf::file({whole}, 96, 1, 3), "@: track 2 is missing: the file ends at offset 0x22 (the header announces 3 "
                                       "tracks)\nbuffering...\nbuffering...\ndone.\n"},
        // The name is shown safely, its control characters escaped.
        {smf::file({smf::Track{}.note_on(0, 0, 60, 1).note_off(96, 0, 60), whole}),
         "buffering...\n@: track 1 is cut off at offset 0x1e (no End of Track)\nbuffering...\ndone.\n", "\x1b[31m\r\n"},
    };
    for (const auto& [file, messages, controls] : rows) {
        scripted_stream::reset();
        path = dir.write("broken" + controls + ".mid", file);
        std::string expected = messages;  // "@" stands for the path
        std::string shown = dir.file("broken\\x1b[31m\\r\\n.mid");
        for (size_t at; (at = expected.find('@')) != std::string::npos;)
            expected.replace(at, 1, controls.empty() ? path : shown);
        EXPECT_EQ(pass(), expected);
        EXPECT_TRUE(player_state.pass_played_through);
    }
}

TEST_F(PlayFile, UnreadableFileIsReportedAndTouchesNoDevice) {
    path = dir.file("missing.mid");
    EXPECT_EQ(pass(), "could not open " + path + "\n");
    EXPECT_EQ(scripted_stream::call_names(), "");
    EXPECT_FALSE(player_state.pass_played_through);
}

TEST_F(PlayFile, NotAMidiFileIsRefusedBeforeAnyStreamOpens) {
    std::string text = "This is not music, but it is longer than a MIDI file's header.\n";
    path = dir.write("README.mid", smf::Bytes(text.begin(), text.end()));
    EXPECT_EQ(pass(), "not a Standard MIDI File: " + path + "\n");
    EXPECT_EQ(scripted_stream::call_names(), "");
    EXPECT_FALSE(player_state.pass_played_through);
}

// Each failure leaves by the part of the teardown that matches what it holds,
// after one line naming the call and its result code.
TEST_F(PlayFile, EachFailureLeavesByItsTailOfTheTeardown) {
    struct Row {
        const char* failing;
        void (*fail)(scripted_stream::Script&);
        std::string calls;
        std::string messages;
    };
    const Row rows[] = {
        {"midiStreamOpen", [](scripted_stream::Script& s) { s.open = MMSYSERR_NODRIVER; }, "midiStreamOpen",
         "midiStreamOpen failed: 6\n"},
        {"midiStreamProperty", [](scripted_stream::Script& s) { s.property = MMSYSERR_INVALPARAM; },
         "midiStreamOpen midiStreamProperty midiStreamClose", "midiStreamProperty failed: 11\n"},
        {"midiOutPrepareHeader", [](scripted_stream::Script& s) { s.prepare = MMSYSERR_NOMEM; },
         "midiStreamOpen midiStreamProperty midiOutPrepareHeader midiStreamClose", "midiOutPrepareHeader failed: 7\n"},
        {"midiStreamRestart", [](scripted_stream::Script& s) { s.restart = MMSYSERR_INVALHANDLE; },
         opening + " midiOutUnprepareHeader midiStreamClose", "midiStreamRestart failed: 5\n"},
        {"first midiStreamOut", [](scripted_stream::Script& s) { s.out = MMSYSERR_NOMEM; },
         opening + " midiStreamOut " + teardown, "buffering...\nmidiStreamOut failed: 7\n"},
        {"second midiStreamOut",
         [](scripted_stream::Script& s) {
             s.out = MIDIERR_STILLPLAYING;
             s.out_fails_at = 2;
         },
         opening + " midiStreamOut midiStreamOut " + teardown, "buffering...\nbuffering...\nmidiStreamOut failed: 65\n"},
    };
    path = dir.write("long.mid", notes(1200));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.failing);
        scripted_stream::reset();
        row.fail(scripted_stream::script());
        EXPECT_EQ(pass(), row.messages);
        EXPECT_EQ(scripted_stream::call_names(), row.calls);
        // A failed pass is not played through: the loop waits for a name.
        EXPECT_FALSE(player_state.pass_played_through);
    }
}

// The callback signals the event it was given as instance data, and takes
// no lock: it runs even while another thread holds the player's lock.
TEST_F(PlayFile, CallbackWakesThePassOnlyForAPlayedBuffer) {
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const auto instance = reinterpret_cast<DWORD_PTR>(wake);
    EnterCriticalSection(&player_state.lock);
    for (UINT message : {UINT(MOM_OPEN), UINT(MOM_CLOSE), UINT(MOM_POSITIONCB), 0u, UINT(MOM_DONE)}) {
        std::thread driver([message, instance] { stream_callback(nullptr, message, instance, 0, 0); });
        driver.join();
        EXPECT_EQ(WaitForSingleObject(wake, 0), message == MOM_DONE ? WAIT_OBJECT_0 : WAIT_TIMEOUT) << message;
    }
    LeaveCriticalSection(&player_state.lock);
    CloseHandle(wake);
}

}  // namespace
