// Device 0 from SMFSTREAM_DEVICE: read once, and a device that cannot be
// opened is said once, not once per pass; and the end of the process, which
// silences it. Its own program: the setting is read once per process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/linux/devices/devices.h"
#include "platform/platform.h"

namespace {

TEST(Device0, AnUnknownSettingFailsEveryOpenButIsSaidOnce) {
    setenv("SMFSTREAM_DEVICE", "speaker", 1);
    testing::internal::CaptureStderr();
    for (int pass = 0; pass < 3; ++pass) {
        HMIDISTRM stream = nullptr;
        UINT id = 0;
        EXPECT_EQ(midiStreamOpen(&stream, &id, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
        EXPECT_EQ(midiOutSetVolume(nullptr, 0x4040), MMSYSERR_NODRIVER);
    }
    setenv("SMFSTREAM_DEVICE", "trace-fast:/dev/null", 1);
    HMIDISTRM stream = nullptr;
    UINT id = 0;
    EXPECT_EQ(midiStreamOpen(&stream, &id, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said,
              "smfstream: no MIDI output: SMFSTREAM_DEVICE=speaker is not one of trace:FILE, trace-fast:FILE, synth, "
              "synth:FILE.wav, alsa, alsa:PORT\n");
}

// A device whose silencing never returns, as a device stuck in its driver.
class HangingDevice : public platform::MidiDevice {
public:
    void play(uint64_t, int64_t, int64_t, DWORD) override {}
    void silence() override {
        for (;;) pause();
    }
};

TEST(ExitProcess, EndsWithItsStatusEvenIfADeviceHangs) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            static HangingDevice hanging;
            platform::use_device0(&hanging);
            ExitProcess(7);
        },
        testing::ExitedWithCode(7), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
