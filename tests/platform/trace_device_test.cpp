#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/devices/device_kinds.h"
#include "platform/linux/devices/devices.h"
#include "platform/platform.h"

namespace {

using platform::DeviceSetting;
using Kind = DeviceSetting::Kind;

TEST(DeviceSetting, NamesTheKindAndItsArgument) {
    struct Case {
        const char* value;
        Kind kind;
        const char* argument;
    };
    const Case cases[] = {
        {nullptr, Kind::synth, ""},
        {"", Kind::synth, ""},
        {"trace:/tmp/a b.trace", Kind::trace, "/tmp/a b.trace"},
        {"trace-fast:x:y", Kind::trace_fast, "x:y"},
        {"trace", Kind::unknown, ""},
        {"trace:", Kind::unknown, ""},
        {"synth", Kind::synth, ""},
        {"synth:out.wav", Kind::synth, "out.wav"},
        {"alsa", Kind::alsa, ""},
        {"alsa:128:0", Kind::alsa, "128:0"},
        {"alsa2", Kind::unknown, ""},
        {"speaker", Kind::unknown, ""},
    };
    for (const Case& c : cases) {
        DeviceSetting setting = platform::parse_device_setting(c.value);
        EXPECT_EQ(setting.kind, c.kind) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(setting.argument, c.argument) << (c.value ? c.value : "(unset)");
    }
}

std::string temporary_path() {
    char path[] = "/tmp/trace_device_test_XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    return path;
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(TraceDevice, AnUnwritablePathIsNoDevice) {
    // A FIFO that nobody reads is refused at once rather than waited on.
    std::string fifo = temporary_path();
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& path : {std::string("/nonexistent/dir/x.trace"), fifo}) {
        SCOPED_TRACE(path);
        MMRESULT error = MMSYSERR_NOERROR;
        testing::internal::CaptureStderr();
        std::unique_ptr<platform::MidiDevice> device(
                platform::open_trace_device(path, platform::Pacing::due_time, &error));
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(error, MMRESULT(MMSYSERR_NODRIVER));
        EXPECT_EQ(said.find("smfstream: no MIDI output: cannot open the trace file " + path), 0u) << said;
    }
    unlink(fifo.c_str());
}

TEST(TraceDevice, AFailedWriteIsSaidOnceAndTheDevicePlaysOn) {
    MMRESULT error = MMSYSERR_NOERROR;
    std::unique_ptr<platform::MidiDevice> device(
            platform::open_trace_device("/dev/full", platform::Pacing::due_time, &error));
    ASSERT_NE(device, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(device->set_volume(0x1000), MMSYSERR_NOERROR);
    EXPECT_EQ(device->set_volume(0x2000), MMSYSERR_NOERROR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "smfstream: cannot write the trace file /dev/full (No space left on device); the stream plays on\n");
}

void CALLBACK wake(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message == MOM_DONE) SetEvent(reinterpret_cast<HANDLE>(instance));
}

TEST(TraceDevice, WritesOneLinePerHappeningAfterWhatTheFileHeld) {
    std::string path = temporary_path();
    { std::ofstream(path) << "earlier\n"; }
    MMRESULT error = MMSYSERR_NOERROR;
    std::unique_ptr<platform::MidiDevice> device(
            platform::open_trace_device(path, platform::Pacing::as_queued, &error));
    ASSERT_NE(device, nullptr);
    platform::use_device0(device.get());

    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HMIDISTRM stream = nullptr;
    UINT id = 0;
    ASSERT_EQ(midiStreamOpen(&stream, &id, 1, reinterpret_cast<DWORD_PTR>(wake), reinterpret_cast<DWORD_PTR>(done),
                             CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    MIDIPROPTIMEDIV division = {sizeof division, 96};
    ASSERT_EQ(midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&division), MIDIPROP_SET | MIDIPROP_TIMEDIV),
              MMSYSERR_NOERROR);
    DWORD records[] = {0, 0, 0x00643C90, 96, 0, 0x0107A120, 4294967295u, 0, 0x00003C80};
    MIDIHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(records);
    header.dwBufferLength = header.dwBytesRecorded = sizeof records;
    ASSERT_EQ(midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(stream), &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
    ASSERT_EQ(midiStreamOut(stream, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(midiOutSetVolume(reinterpret_cast<HMIDIOUT>(stream), 0x0000C8C8), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutReset(reinterpret_cast<HMIDIOUT>(stream)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutUnprepareHeader(reinterpret_cast<HMIDIOUT>(stream), &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    CloseHandle(done);
    platform::use_device0(nullptr);

    std::vector<std::string> lines = lines_of(path);
    ASSERT_EQ(lines.size(), 11u);
    // The time each record was sent is the machine's; the rest is fixed.
    for (std::string& line : lines) {
        std::istringstream fields(line);
        std::string kind, tick, due, at, word;
        if (!(fields >> kind >> tick >> due >> at >> word) || kind != "ev") continue;
        EXPECT_EQ(at.find_first_not_of("0123456789"), std::string::npos) << line;
        line = kind + " " + tick + " " + due + " AT " + word;
    }
    const std::vector<std::string> expected = {
        "earlier",
        "open",
        "timediv 96",
        "restart",
        "ev 0 0 AT 00643c90",
        "ev 96 500000 AT 0107a120",
        // A delta of 2^32 - 1 ticks: ticks and times go past 32 bits.
        "ev 4294967391 22369621828125 AT 00003c80",
        "done",
        "volume 0000c8c8",
        "reset",
        "close",
    };
    EXPECT_EQ(lines, expected);
    unlink(path.c_str());
}

}  // namespace
