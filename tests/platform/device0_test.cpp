// Device 0 from SMFSTREAM_DEVICE: read once, and a device that cannot be
// opened is said once, not once per pass. Its own program: the setting is
// read once per process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

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

}  // namespace
