// The volume control against a scripted platform: the stream call, the mixer
// fallback step by step, every reason line, and the arguments each call gets.
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

struct ReasonRow {
    MMRESULT code;
    const char* stream;      // the stream's volume call
    const char* open;        // mixerOpen
    const char* line_info;   // mixerGetLineInfoA
    const char* set_details; // mixerSetControlDetails
};

const ReasonRow reason_rows[] = {
    {2, "Reason: unknown\n", "MMSYSERR_BADDEVICEID\n", "MMSYSERR_BADDEVICEID\n", "bad device id\n"},
    {4, "Reason: unknown\n", "MMSYSERR_ALLOCATED\n", "Reason: unknown\n", "\n"},
    {5, "Reason: handle not valid\n", "MMSYSERR_INVALHANDLE\n", "MMSYSERR_INVALHANDLE\n", "Invalid handle\n"},
    {6, "Reason: unknown\n", "MMSYSERR_NODRIVER\n", "MMSYSERR_NODRIVER\n", "No driver\n"},
    {7, "Reason: memory error\n", "MMSYSERR_NOMEM\n", "Reason: unknown\n", "\n"},
    {8, "Reason: not supported\n", "Reason: unknown\n", "Reason: unknown\n", "\n"},
    {10, "Reason: unknown\n", "MMSYSERR_INVALFLAG\n", "MMSYSERR_INVALFLAG\n", "invalid flag\n"},
    {11, "Reason: unknown\n", "MMSYSERR_INVALPARAM\n", "MMSYSERR_INVALPARAM\n", "Invalid param\n"},
    {1024, "Reason: unknown\n", "Reason: unknown\n", "MIXERR_INVALLINE\n", "\n"},
    {1025, "Reason: unknown\n", "Reason: unknown\n", "Reason: unknown\n", "Invalid control\n"},
    // Any other code.
    {1, "Reason: unknown\n", "Reason: unknown\n", "Reason: unknown\n", "\n"},
    {3, "Reason: unknown\n", "Reason: unknown\n", "Reason: unknown\n", "\n"},
    {9, "Reason: unknown\n", "Reason: unknown\n", "Reason: unknown\n", "\n"},
    {65, "Reason: unknown\n", "Reason: unknown\n", "Reason: unknown\n", "\n"},
    {1026, "Reason: unknown\n", "Reason: unknown\n", "Reason: unknown\n", "\n"},
    {0x7FFFFFFF, "Reason: unknown\n", "Reason: unknown\n", "Reason: unknown\n", "\n"},
};

TEST_F(ApplyVolume, StreamFailureReasonsThenTheMixer) {
    for (const ReasonRow& row : reason_rows) {
        SCOPED_TRACE(row.code);
        scripted::reset();
        scripted::script().set_volume = row.code;
        scripted::script().open = MMSYSERR_BADDEVICEID;
        EXPECT_EQ(run(), no_midi + row.stream + "ERROR: Can't open Mixer Device! -- 00000002\nMMSYSERR_BADDEVICEID\n");
    }
}

TEST_F(ApplyVolume, MixerOpenFailureEndsTheFallback) {
    for (const ReasonRow& row : reason_rows) {
        SCOPED_TRACE(row.code);
        refuse_stream();
        scripted::calls().clear();
        scripted::script().open = row.code;
        char code[16];
        snprintf(code, sizeof code, "%08X", row.code);
        EXPECT_EQ(run(), no_midi + "Reason: not supported\n" + "ERROR: Can't open Mixer Device! -- " + code + "\n" +
                             row.open);
        // Nothing listed, nothing set, nothing to close.
        ASSERT_EQ(scripted::call_names(), "midiOutSetVolume mixerOpen");
        const scripted::Call& open = scripted::calls()[1];
        EXPECT_EQ(open.id, 0u);
        EXPECT_EQ(open.callback, 0u);
        EXPECT_EQ(open.instance, 0u);
        EXPECT_EQ(open.flags, DWORD(MIXER_OBJECTF_MIXER));
    }
}

TEST_F(ApplyVolume, LineInfoFailureEndsTheFallback) {
    for (const ReasonRow& row : reason_rows) {
        SCOPED_TRACE(row.code);
        refuse_stream();
        scripted::calls().clear();
        scripted::script().destinations[0].query = row.code;
        // The listing skips the destination without a word; the query of
        // destination 0 for the volume reports the code.
        EXPECT_EQ(run(), no_midi + "Reason: not supported\n" + "Error #" + std::to_string(int(row.code)) +
                             " calling mixerGetLineInfo()\n" + row.line_info);
        EXPECT_EQ(scripted::call_names(),
                  "midiOutSetVolume mixerOpen mixerGetDevCapsA mixerGetLineInfoA mixerGetLineInfoA mixerClose");
    }
}

TEST_F(ApplyVolume, LineControlsFailureHasNoReasonLine) {
    for (MMRESULT code : {MMRESULT(MMSYSERR_INVALHANDLE), MMRESULT(MIXERR_INVALCONTROL), MMRESULT(MMSYSERR_INVALPARAM), MMRESULT(4)}) {
        SCOPED_TRACE(code);
        refuse_stream();
        scripted::calls().clear();
        scripted::script().controls = code;
        EXPECT_EQ(run(), no_midi + "Reason: not supported\n" + "Destination #0 = Speakers\n" +
                             "Mixerline: Speakers\n" + "Error #" + std::to_string(code) +
                             " calling mixerGetLineControls()\n");
        EXPECT_EQ(scripted::call_names(), "midiOutSetVolume mixerOpen mixerGetDevCapsA mixerGetLineInfoA "
                                          "mixerGetLineInfoA mixerGetLineControlsA mixerClose");
    }
}

TEST_F(ApplyVolume, SetDetailsFailureReasonsAndTheAdvice) {
    for (const ReasonRow& row : reason_rows) {
        SCOPED_TRACE(row.code);
        refuse_stream();
        scripted::calls().clear();
        scripted::script().set_details = row.code;
        EXPECT_EQ(run(), no_midi + "Reason: not supported\n" + "Destination #0 = Speakers\n" +
                             "Mixerline: Speakers\n" + "Mixercontrol: Master Volume\n" + "Error #" +
                             std::to_string(int(row.code)) + " calling mixerSetControlDetails() " + row.set_details +
                             "Will have to use windows application volume control.\n");
        EXPECT_EQ(scripted::call_names(), "midiOutSetVolume mixerOpen mixerGetDevCapsA mixerGetLineInfoA "
                                          "mixerGetLineInfoA mixerGetLineControlsA mixerSetControlDetails mixerClose");
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
