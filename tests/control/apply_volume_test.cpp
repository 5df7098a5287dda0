// The volume control against a scripted platform: the stream call, the mixer
// fallback step by step, where each failure ends it, and the arguments each
// call gets.
#include <gtest/gtest.h>

#include <string>

#include "control/volume.h"
#include "state/player_state.h"
#include "support/capture_stderr.h"
#include "support/scripted_winmm.h"

namespace {

using test::stderr_of;

const HMIDISTRM open_stream = reinterpret_cast<HMIDISTRM>(0x5157);
const uintptr_t mixer = 0x4D58;  // the handle the scripted mixerOpen gives

class ApplyVolume : public testing::Test {
protected:
    static void SetUpTestSuite() { init_player_state(); }
    void SetUp() override {
        scripted::reset();
        player_state.volume = 200;
        player_state.stream_handle = open_stream;
        player_state.device_id = 0;
    }
    // A stream that refuses the volume and a mixer with one destination that
    // has a volume control.
    void refuse_stream(MMRESULT code = MMSYSERR_NOTSUPPORTED) {
        scripted::script().set_volume = code;
        scripted::script().destinations = {{"Speakers", 0xFFFF0000u, MMSYSERR_NOERROR}};
    }
    std::string run() { return stderr_of(apply_volume); }
};

const std::string no_midi = "Cannot set volume via midi...";

TEST_F(ApplyVolume, StreamTakesVInBothLowBytes) {
    struct Row {
        int volume;
        DWORD word;
    };
    // Only the low 8 bits count: 300 is 44, -1 is 255.
    for (Row row : {Row{255, 0x0000FFFF}, Row{200, 0x0000C8C8}, Row{0, 0}, Row{1, 0x0101}, Row{300, 0x2C2C},
                    Row{-1, 0xFFFF}, Row{0x1FF, 0xFFFF}}) {
        SCOPED_TRACE(row.volume);
        scripted::reset();
        player_state.volume = row.volume;
        EXPECT_EQ(run(), "");
        ASSERT_EQ(scripted::call_names(), "midiOutSetVolume");
        EXPECT_EQ(scripted::calls()[0].value, row.word);
        EXPECT_EQ(scripted::calls()[0].handle, reinterpret_cast<uintptr_t>(open_stream));
    }
}

TEST_F(ApplyVolume, BetweenPassesTheNullHandleNamesDeviceZero) {
    player_state.stream_handle = nullptr;
    EXPECT_EQ(run(), "");
    ASSERT_EQ(scripted::call_names(), "midiOutSetVolume");
    EXPECT_EQ(scripted::calls()[0].handle, 0u);
}

// Each step of the fallback that fails says so, with its reason where it has
// one (a code of its own, or one it has no text for), and ends the fallback
// there, closing the mixer it opened.
TEST_F(ApplyVolume, AFailedStepSaysWhyAndEndsTheFallback) {
    const std::string to_speakers = "Destination #0 = Speakers\nMixerline: Speakers\n";
    const std::string opened = "midiOutSetVolume mixerOpen mixerGetDevCapsA mixerGetLineInfoA mixerGetLineInfoA";
    struct Row {
        const char* step;
        MMRESULT stream, open, line_info, controls, set_details;
        std::string said;  // after "Cannot set volume via midi..."
        std::string calls;
    };
    const Row rows[] = {
        {"stream 7, mixerOpen 2", 7, 2, 0, 0, 0,
         "Reason: memory error\nERROR: Can't open Mixer Device! -- 00000002\nMMSYSERR_BADDEVICEID\n",
         "midiOutSetVolume mixerOpen"},
        {"stream 5, mixerOpen 4", 5, 4, 0, 0, 0,
         "Reason: handle not valid\nERROR: Can't open Mixer Device! -- 00000004\nMMSYSERR_ALLOCATED\n",
         "midiOutSetVolume mixerOpen"},
        {"stream 1, mixerOpen 1024", 1, 1024, 0, 0, 0,
         "Reason: unknown\nERROR: Can't open Mixer Device! -- 00000400\nReason: unknown\n",
         "midiOutSetVolume mixerOpen"},
        {"mixerGetLineInfoA 1024", 8, 0, 1024, 0, 0,
         "Reason: not supported\nError #1024 calling mixerGetLineInfo()\nMIXERR_INVALLINE\n", opened + " mixerClose"},
        {"mixerGetLineInfoA 7", 8, 0, 7, 0, 0,
         "Reason: not supported\nError #7 calling mixerGetLineInfo()\nReason: unknown\n", opened + " mixerClose"},
        {"mixerGetLineControlsA 1025", 8, 0, 0, 1025, 0,
         "Reason: not supported\n" + to_speakers + "Error #1025 calling mixerGetLineControls()\n",
         opened + " mixerGetLineControlsA mixerClose"},
        {"mixerSetControlDetails 1025", 8, 0, 0, 0, 1025,
         "Reason: not supported\n" + to_speakers +
             "Mixercontrol: Master Volume\nError #1025 calling mixerSetControlDetails() Invalid control\n"
             "Will have to use windows application volume control.\n",
         opened + " mixerGetLineControlsA mixerSetControlDetails mixerClose"},
        {"mixerSetControlDetails 7", 8, 0, 0, 0, 7,
         "Reason: not supported\n" + to_speakers +
             "Mixercontrol: Master Volume\nError #7 calling mixerSetControlDetails() \n"
             "Will have to use windows application volume control.\n",
         opened + " mixerGetLineControlsA mixerSetControlDetails mixerClose"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.step);
        scripted::reset();
        refuse_stream(row.stream);
        scripted::script().open = row.open;
        scripted::script().destinations[0].query = row.line_info;
        scripted::script().controls = row.controls;
        scripted::script().set_details = row.set_details;
        EXPECT_EQ(run(), no_midi + row.said);
        EXPECT_EQ(scripted::call_names(), row.calls);
    }
}

// Volume 200, a stream call that fails with code 5, and a mixer whose first
// destination has a volume control: every step, with every argument.
TEST_F(ApplyVolume, FallbackSetsTheFirstDestination) {
    scripted::script().set_volume = MMSYSERR_INVALHANDLE;
    scripted::script().destinations = {{"Speakers", 0xFFFF0000u, MMSYSERR_NOERROR},
                                       {"Headphones", 0xFFFF0001u, MMSYSERR_NODRIVER},
                                       {"Line Out", 0xFFFF0002u, MMSYSERR_NOERROR}};
    scripted::script().control_id = 0x2A;
    EXPECT_EQ(run(), no_midi + "Reason: handle not valid\n" + "Destination #0 = Speakers\n" +
                         "Destination #2 = Line Out\n" + "Mixerline: Speakers\n" + "Mixercontrol: Master Volume\n");
    const auto& calls = scripted::calls();
    ASSERT_EQ(scripted::call_names(),
              "midiOutSetVolume mixerOpen mixerGetDevCapsA mixerGetLineInfoA mixerGetLineInfoA mixerGetLineInfoA "
              "mixerGetLineInfoA mixerGetLineControlsA mixerSetControlDetails mixerClose");
    EXPECT_EQ(calls[0].value, 0xC8C8u);

    EXPECT_EQ(calls[2].handle, mixer);
    EXPECT_EQ(calls[2].size, sizeof(MIXERCAPSA));
    EXPECT_TRUE(calls[2].has_record);
    for (DWORD i = 0; i < 3; ++i) {
        const scripted::Call& query = calls[3 + i];
        EXPECT_EQ(query.handle, mixer);
        EXPECT_EQ(query.cb_struct, sizeof(MIXERLINEA));
        EXPECT_EQ(query.destination, i);
        EXPECT_EQ(query.flags, DWORD(MIXER_GETLINEINFOF_DESTINATION));
    }
    const scripted::Call& first = calls[6];
    EXPECT_EQ(first.handle, mixer);
    EXPECT_EQ(first.cb_struct, sizeof(MIXERLINEA));
    EXPECT_EQ(first.destination, 0u);
    EXPECT_EQ(first.source, 0u);
    EXPECT_EQ(first.flags, DWORD(MIXER_GETLINEINFOF_DESTINATION));

    const scripted::Call& controls = calls[7];
    EXPECT_EQ(controls.handle, mixer);
    EXPECT_EQ(controls.cb_struct, sizeof(MIXERLINECONTROLSA));
    EXPECT_EQ(controls.line_id, 0xFFFF0000u);
    EXPECT_EQ(controls.control_type, 0x50030001u);
    EXPECT_EQ(controls.c_controls, 1u);
    EXPECT_EQ(controls.cb_mxctrl, sizeof(MIXERCONTROLA));
    EXPECT_TRUE(controls.has_record);
    EXPECT_EQ(controls.flags, 2u);

    const scripted::Call& details = calls[8];
    EXPECT_EQ(details.handle, mixer);
    EXPECT_EQ(details.cb_struct, sizeof(MIXERCONTROLDETAILS));
    EXPECT_EQ(details.control_id, 0x2Au);
    EXPECT_EQ(details.c_channels, 1u);
    EXPECT_EQ(details.c_multiple_items, 0u);
    EXPECT_EQ(details.cb_details, 4u);
    EXPECT_EQ(details.value, 51200u);
    EXPECT_EQ(details.flags, DWORD(MIXER_SETCONTROLDETAILSF_VALUE));

    // The mixer opened by this fallback is closed by it.
    EXPECT_EQ(calls[9].handle, mixer);
    EXPECT_EQ(player_state.mixer_handle, reinterpret_cast<HMIXER>(mixer));
}

TEST_F(ApplyVolume, MixerValueIsVTimes256) {
    struct Row {
        int volume;
        DWORD value;
    };
    for (Row row : {Row{0, 0}, Row{1, 256}, Row{200, 51200}, Row{255, 65280}, Row{300, 11264}, Row{-1, 65280}}) {
        SCOPED_TRACE(row.volume);
        refuse_stream();
        player_state.volume = row.volume;
        scripted::calls().clear();
        run();
        ASSERT_EQ(scripted::calls().size(), 8u);
        EXPECT_EQ(scripted::calls()[6].value, row.value);
    }
}

TEST_F(ApplyVolume, WithoutCapabilitiesNothingIsListedAndTheVolumeIsStillSet) {
    refuse_stream();
    scripted::script().caps = MMSYSERR_NODRIVER;
    EXPECT_EQ(run(), no_midi + "Reason: not supported\n" + "Mixerline: Speakers\n" + "Mixercontrol: Master Volume\n");
    EXPECT_EQ(scripted::call_names(), "midiOutSetVolume mixerOpen mixerGetDevCapsA mixerGetLineInfoA "
                                      "mixerGetLineControlsA mixerSetControlDetails mixerClose");
}

TEST_F(ApplyVolume, NoDestinationsMeansLineInfoFails) {
    // A mixer with no destination at all: nothing listed, and the query of
    // destination 0 fails with the platform's code for a bad line.
    scripted::script().set_volume = MMSYSERR_NOTSUPPORTED;
    EXPECT_EQ(run(), no_midi + "Reason: not supported\n" + "Error #1024 calling mixerGetLineInfo()\n" +
                         "MIXERR_INVALLINE\n");
}

TEST_F(ApplyVolume, EveryFallbackOpensAndClosesItsOwnMixer) {
    refuse_stream();
    for (int i = 0; i < 3; ++i) run();
    size_t opens = 0, closes = 0;
    for (const scripted::Call& call : scripted::calls()) {
        opens += call.name == "mixerOpen";
        closes += call.name == "mixerClose";
    }
    EXPECT_EQ(opens, 3u);
    EXPECT_EQ(closes, 3u);
}

}  // namespace
