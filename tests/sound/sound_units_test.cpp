// The pure parts of the Linux sound outputs: records as MIDI messages and as
// ALSA sequencer events, the choice of a sequencer port, the mixer's lines
// and controls over a card's elements, the synthesizer's gain and clock, the
// WAV file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/linux/sound/alsa_device.h"
#include "platform/linux/sound/alsa_event.h"
#include "platform/linux/winmm/mixer_lines.h"
#include "platform/linux/base/short_message.h"
#include "platform/linux/sound/synth_clock.h"
#include "platform/linux/sound/synth_device.h"
#include "platform/linux/winmm/stream_timeline.h"
#include "platform/linux/sound/wav_file.h"
#include "support/wav_analysis.h"

namespace {

using platform::ShortMessage;
using Kind = ShortMessage::Kind;

TEST(ShortMessage, ChannelMessagesAndWhatIsNotOne) {
    struct Case {
        DWORD word;
        Kind kind;
        int channel, data1, data2, bend;
    } cases[] = {
        {0x00643C90, Kind::note_on, 0, 0x3C, 0x64, 0},
        {0x00003C9F, Kind::note_on, 15, 0x3C, 0, 0},  // velocity 0 stays a note-on here
        {0x00403C81, Kind::note_off, 1, 0x3C, 0x40, 0},
        {0x00203CA2, Kind::key_pressure, 2, 0x3C, 0x20, 0},
        {0x007F07B3, Kind::control_change, 3, 7, 127, 0},
        {0x007705C4, Kind::program_change, 4, 5, 0, 0},  // a stray second byte is not data
        {0x00003DD5, Kind::channel_pressure, 5, 0x3D, 0, 0},
        {0x004000E6, Kind::pitch_bend, 6, 0, 0x40, 8192},
        {0x007F7FE7, Kind::pitch_bend, 7, 0x7F, 0x7F, 16383},
        {0x000000E8, Kind::pitch_bend, 8, 0, 0, 0},
        {0x00FFFF90, Kind::note_on, 0, 0x7F, 0x7F, 0},  // data bytes keep 7 bits
        {0x0107A120, Kind::none, 0, 0, 0, 0},           // a tempo record
        {0x02000000, Kind::none, 0, 0, 0, 0},           // a no-op
        {0x00000000, Kind::none, 0, 0, 0, 0},           // status 0: running status before any status
        {0x00643C40, Kind::none, 0, 0, 0, 0},
        {0x000000F8, Kind::none, 0, 0, 0, 0},
        {0x000000FF, Kind::none, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        ShortMessage m = platform::decode_short_message(c.word);
        EXPECT_EQ(m.kind, c.kind);
        if (c.kind == Kind::none) continue;
        EXPECT_EQ(m.channel, c.channel);
        EXPECT_EQ(m.data1, c.data1);
        EXPECT_EQ(m.data2, c.data2);
        if (c.kind == Kind::pitch_bend) {
            EXPECT_EQ(m.bend, c.bend);
        }
    }
}

TEST(AlsaEvent, RecordsBecomeSequencerEvents) {
    snd_seq_event_t e;
    auto translate = [&](DWORD word) {
        snd_seq_ev_clear(&e);
        e.type = SND_SEQ_EVENT_NONE;
        return platform::seq_event_from_word(word, &e);
    };

    ASSERT_TRUE(translate(0x00643C92));
    EXPECT_EQ(e.type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(e.data.note.channel, 2);
    EXPECT_EQ(e.data.note.note, 0x3C);
    EXPECT_EQ(e.data.note.velocity, 0x64);
    EXPECT_EQ(e.flags & SND_SEQ_EVENT_LENGTH_MASK, unsigned(SND_SEQ_EVENT_LENGTH_FIXED));

    ASSERT_TRUE(translate(0x00003C92));  // a note-on of velocity 0 goes out as sent
    EXPECT_EQ(e.type, SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(e.data.note.velocity, 0);

    ASSERT_TRUE(translate(0x00403C8F));
    EXPECT_EQ(e.type, SND_SEQ_EVENT_NOTEOFF);
    EXPECT_EQ(e.data.note.channel, 15);
    EXPECT_EQ(e.data.note.off_velocity == 0x40 || e.data.note.velocity == 0x40, true);

    ASSERT_TRUE(translate(0x00303CA1));
    EXPECT_EQ(e.type, SND_SEQ_EVENT_KEYPRESS);
    EXPECT_EQ(e.data.note.note, 0x3C);
    EXPECT_EQ(e.data.note.velocity, 0x30);

    ASSERT_TRUE(translate(0x005A0AB9));
    EXPECT_EQ(e.type, SND_SEQ_EVENT_CONTROLLER);
    EXPECT_EQ(e.data.control.channel, 9);
    EXPECT_EQ(e.data.control.param, 10u);
    EXPECT_EQ(e.data.control.value, 0x5A);

    ASSERT_TRUE(translate(0x000013C9));
    EXPECT_EQ(e.type, SND_SEQ_EVENT_PGMCHANGE);
    EXPECT_EQ(e.data.control.channel, 9);
    EXPECT_EQ(e.data.control.value, 0x13);

    ASSERT_TRUE(translate(0x000045D0));
    EXPECT_EQ(e.type, SND_SEQ_EVENT_CHANPRESS);
    EXPECT_EQ(e.data.control.value, 0x45);

    struct Bend {
        DWORD word;
        int value;
    } bends[] = {{0x004000E0, 0}, {0x00000000E0, -8192}, {0x007F7FE0, 8191}, {0x00400100 | 0xE0, 1}};
    for (const Bend& b : bends) {
        ASSERT_TRUE(translate(b.word));
        EXPECT_EQ(e.type, SND_SEQ_EVENT_PITCHBEND);
        EXPECT_EQ(e.data.control.value, b.value) << std::hex << b.word;
    }

    for (DWORD nothing : {0x0107A120u, 0x02000000u, 0x000000F0u, 0x00000000u}) {
        EXPECT_FALSE(translate(nothing)) << std::hex << nothing;
        EXPECT_EQ(e.type, SND_SEQ_EVENT_NONE);
    }

    snd_seq_ev_clear(&e);
    platform::seq_controller_event(4, 123, 0, &e);
    EXPECT_EQ(e.type, SND_SEQ_EVENT_CONTROLLER);
    EXPECT_EQ(e.data.control.channel, 4);
    EXPECT_EQ(e.data.control.param, 123u);
    EXPECT_EQ(e.data.control.value, 0);
}

// A reset releases every note sent that is still on, note by note (a
// receiver may ignore All Notes Off), after the pedals go up; a note already
// ended, by a note-off or a note-on of velocity 0, is not released again.
TEST(AlsaEvent, AResetReleasesEachNoteStillOn) {
    platform::SoundingNotes notes;
    for (DWORD word : {0x00643C90u, 0x00644092u, 0x00644390u, 0x00003C90u, 0x00404380u, 0x00503099u}) {
        snd_seq_event_t e;
        snd_seq_ev_clear(&e);
        ASSERT_TRUE(platform::seq_event_from_word(word, &e));
        notes.sent(e);
    }
    auto describe = [](const std::vector<snd_seq_event_t>& events) {
        std::string out;
        for (const snd_seq_event_t& e : events) {
            if (e.type == SND_SEQ_EVENT_NOTEOFF)
                out += "off " + std::to_string(e.data.note.channel) + ":" + std::to_string(e.data.note.note) + " ";
            else if (e.type == SND_SEQ_EVENT_CONTROLLER && e.data.control.channel == 2)
                out += "cc2:" + std::to_string(e.data.control.param) + "=" + std::to_string(e.data.control.value) + " ";
        }
        return out;
    };
    std::vector<snd_seq_event_t> first = notes.reset_events();
    EXPECT_EQ(describe(first), "cc2:64=0 cc2:66=0 off 2:64 cc2:123=0 off 9:48 ");
    EXPECT_EQ(first.size(), 16u * 3 + 2);
    EXPECT_EQ(describe(notes.reset_events()), "cc2:64=0 cc2:66=0 cc2:123=0 ");
}

TEST(AlsaDevice, PlainAlsaTakesAWritablePortThatIsNotThrough) {
    const unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    struct Case {
        int client;
        unsigned caps;
        const char *client_name, *port_name;
        bool taken;
    } cases[] = {
        {128, writable, "FLUID Synth (1234)", "Synth input port (1234:0)", true},
        {20, writable | SND_SEQ_PORT_CAP_READ, "USB MIDI Interface", "USB MIDI Interface MIDI 1", true},
        {14, writable, "Midi Through", "Midi Through Port-0", false},
        {20, writable, "Some device", "Through", false},
        {0, writable, "System", "Timer", false},
        {130, writable, "smfstream", "smfstream out", false},  // our own client
        {20, SND_SEQ_PORT_CAP_WRITE, "Keyboard", "no subscriptions", false},
        {20, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, "Keyboard", "input only", false},
        {20, writable | SND_SEQ_PORT_CAP_NO_EXPORT, "Hidden", "private", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::port_takes_our_output(c.client, 130, c.caps, c.client_name, c.port_name), c.taken)
            << c.client_name << " / " << c.port_name;
}

TEST(AlsaDevice, NoSequencerMeansNoDriverAndOneLine) {
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has a sequencer";
    testing::internal::CaptureStderr();
    MMRESULT error = MMSYSERR_NOERROR;
    platform::MidiDevice* device = platform::open_alsa_device("", &error);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(error, MMRESULT(MMSYSERR_NODRIVER));
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("ALSA sequencer"), std::string::npos) << said;
    EXPECT_EQ(said.find("ALSA lib"), std::string::npos) << said;  // the library says nothing itself
}

TEST(MixerLines, VolumeGoesIntoTheElementsRange) {
    struct Case {
        DWORD value;
        long minimum, maximum, expected;
    } cases[] = {
        {0, 0, 87, 0},          {65535, 0, 87, 87},     {32768, 0, 87, 44},  {51200, 0, 87, 68},
        {65280, 0, 255, 254},   {0, -10239, 400, -10239}, {65535, -10239, 400, 400},
        {70000, 0, 31, 31},     // beyond the top counts as the top
        {1000, 5, 5, 5},        // a one-value range
        {1000, 10, 3, 10},      // a range upside down: its minimum
        {65535, 0, 2147483647L, 2147483647L},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::element_volume(c.value, c.minimum, c.maximum), c.expected)
            << c.value << " in " << c.minimum << ".." << c.maximum;
    // An element that knows its decibels (hundredths) gets the volume taper:
    // 0 its minimum, then 36 dB in equal steps up to its maximum.
    const Case on_taper[] = {
        {0, -6400, 0, -6400}, {1, -6400, 0, -3600}, {32768, -6400, 0, -1800}, {65535, -6400, 0, 0},
        {65535, -4650, 600, 600}, {1, -2000, 0, -2000},  // below the element's range: its minimum
        {70000, -6400, 0, 0},
    };
    for (const Case& c : on_taper)
        EXPECT_EQ(platform::element_volume_db(c.value, c.minimum, c.maximum), c.expected)
            << c.value << " in " << c.minimum << ".." << c.maximum << " (1/100 dB)";
}

platform::MixerCard two_destination_card() {
    platform::MixerCard card;
    card.name = "HDA Intel PCH with a name far longer than thirty-one characters";
    card.destinations.push_back({"Master", 0, 87, 1});
    card.destinations.push_back({"Headphone with a name longer than sixteen", -6400, 0, 2});
    return card;
}

TEST(MixerLines, CapsAndDestinations) {
    platform::MixerCard card = two_destination_card();
    MIXERCAPSA caps;
    memset(&caps, 0xAB, sizeof caps);
    ASSERT_EQ(platform::fill_mixer_caps(card, &caps, sizeof caps), MMRESULT(MMSYSERR_NOERROR));
    EXPECT_EQ(caps.cDestinations, 2u);
    EXPECT_STREQ(caps.szPname, "HDA Intel PCH with a name far l");  // cut to 31 characters

    MIXERLINEA line{};
    line.cbStruct = sizeof line;
    line.dwDestination = 1;
    ASSERT_EQ(platform::fill_mixer_line(card, &line, MIXER_GETLINEINFOF_DESTINATION), MMRESULT(MMSYSERR_NOERROR));
    EXPECT_STREQ(line.szName, "Headphone with a name longer than sixteen");
    EXPECT_STREQ(line.szShortName, "Headphone with ");
    EXPECT_EQ(line.dwLineID, platform::mixer_destination_line_id(1));
    EXPECT_EQ(line.cChannels, 2u);
    EXPECT_EQ(line.cControls, 1u);

    // By line identifier, as a handle's object type says.
    MIXERLINEA by_id{};
    by_id.cbStruct = sizeof by_id;
    by_id.dwLineID = platform::mixer_destination_line_id(0);
    ASSERT_EQ(platform::fill_mixer_line(card, &by_id, 0x2 | MIXER_OBJECTF_HMIXER), MMRESULT(MMSYSERR_NOERROR));
    EXPECT_STREQ(by_id.szName, "Master");
    EXPECT_EQ(by_id.cChannels, 1u);

    struct Refusal {
        DWORD destination, flags, cb;
        MMRESULT result;
    } refusals[] = {
        {2, MIXER_GETLINEINFOF_DESTINATION, sizeof(MIXERLINEA), MIXERR_INVALLINE},
        {0, MIXER_GETLINEINFOF_SOURCE, sizeof(MIXERLINEA), MIXERR_INVALLINE},
        {0, MIXER_GETLINEINFOF_DESTINATION, sizeof(MIXERLINEA) - 1, MMSYSERR_INVALPARAM},
        {0, 0x40000000u, sizeof(MIXERLINEA), MMSYSERR_INVALFLAG},  // an object type that is not a mixer
        {0, 0x7, sizeof(MIXERLINEA), MMSYSERR_INVALFLAG},
    };
    for (const Refusal& r : refusals) {
        MIXERLINEA query{};
        query.cbStruct = r.cb;
        query.dwDestination = r.destination;
        EXPECT_EQ(platform::fill_mixer_line(card, &query, r.flags), r.result) << r.destination << " " << r.flags;
    }
    EXPECT_EQ(platform::fill_mixer_line(card, nullptr, 0), MMRESULT(MMSYSERR_INVALPARAM));

    platform::MixerCard empty;
    MIXERLINEA first{};
    first.cbStruct = sizeof first;
    EXPECT_EQ(platform::fill_mixer_line(empty, &first, 0), MMRESULT(MIXERR_INVALLINE));
}

TEST(MixerLines, TheVolumeControlOfALineAndSettingIt) {
    platform::MixerCard card = two_destination_card();
    MIXERCONTROLA control;
    MIXERLINECONTROLSA controls{};
    controls.cbStruct = sizeof controls;
    controls.dwLineID = platform::mixer_destination_line_id(1);
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    ASSERT_EQ(platform::fill_mixer_controls(card, &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMRESULT(MMSYSERR_NOERROR));
    EXPECT_EQ(control.cbStruct, sizeof control);
    EXPECT_EQ(control.dwControlType, DWORD(MIXERCONTROL_CONTROLTYPE_VOLUME));
    EXPECT_EQ(control.dwControlID, platform::mixer_volume_control_id(1));
    EXPECT_EQ(control.Bounds.dwMinimum, 0u);
    EXPECT_EQ(control.Bounds.dwMaximum, 65535u);
    EXPECT_EQ(control.Metrics.cSteps, 6400u);
    EXPECT_EQ(std::string(control.szName).rfind("Headphone", 0), 0u);

    MIXERLINECONTROLSA wrong = controls;
    wrong.dwControlType = 0x20010000;  // not a volume control
    EXPECT_EQ(platform::fill_mixer_controls(card, &wrong, MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMRESULT(MIXERR_INVALCONTROL));
    wrong = controls;
    wrong.dwLineID = 7;
    EXPECT_EQ(platform::fill_mixer_controls(card, &wrong, MIXER_GETLINECONTROLSF_ONEBYTYPE), MMRESULT(MIXERR_INVALLINE));
    wrong = controls;
    wrong.cbmxctrl = sizeof control - 4;
    EXPECT_EQ(platform::fill_mixer_controls(card, &wrong, MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMRESULT(MMSYSERR_INVALPARAM));
    wrong = controls;
    wrong.pamxctrl = nullptr;
    EXPECT_EQ(platform::fill_mixer_controls(card, &wrong, MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMRESULT(MMSYSERR_INVALPARAM));

    // The player's call: one channel, one unsigned value, v x 256.
    MIXERCONTROLDETAILS_UNSIGNED value{51200};
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control.dwControlID;
    details.cChannels = 1;
    details.cMultipleItems = 0;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    size_t destination = 99;
    long volume = 0;
    ASSERT_EQ(platform::mixer_volume_request(card, &details, MIXER_SETCONTROLDETAILSF_VALUE, &destination, &volume),
              MMRESULT(MMSYSERR_NOERROR));
    EXPECT_EQ(destination, 1u);
    EXPECT_EQ(volume, -1400);  // 51200 / 65535 of the way from -6400 to 0

    MIXERCONTROLDETAILS bad = details;
    bad.dwControlID = 2;
    EXPECT_EQ(platform::mixer_volume_request(card, &bad, 0, &destination, &volume), MMRESULT(MIXERR_INVALCONTROL));
    bad = details;
    bad.cbDetails = 2;
    EXPECT_EQ(platform::mixer_volume_request(card, &bad, 0, &destination, &volume), MMRESULT(MMSYSERR_INVALPARAM));
    bad = details;
    bad.paDetails = nullptr;
    EXPECT_EQ(platform::mixer_volume_request(card, &bad, 0, &destination, &volume), MMRESULT(MMSYSERR_INVALPARAM));
    EXPECT_EQ(platform::mixer_volume_request(card, &details, 0x1, &destination, &volume),
              MMRESULT(MMSYSERR_INVALFLAG));
    EXPECT_EQ(platform::mixer_volume_request(card, nullptr, 0, &destination, &volume), MMRESULT(MMSYSERR_INVALPARAM));
}

TEST(Mixer, NoCardMeansNoMixerZero) {
    if (access("/dev/snd/controlC0", F_OK) == 0) GTEST_SKIP() << "this machine has a sound card";
    testing::internal::CaptureStderr();
    HMIXER mixer = nullptr;
    EXPECT_EQ(mixerOpen(&mixer, 0, 0, 0, MIXER_OBJECTF_MIXER), MMRESULT(MMSYSERR_BADDEVICEID));
    MIXERCAPSA caps{};
    EXPECT_EQ(mixerGetDevCapsA(0, &caps, sizeof caps), MMRESULT(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(mixerOpen(&mixer, 1, 0, 0, MIXER_OBJECTF_MIXER), MMRESULT(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // libasound says nothing itself
    int not_a_mixer = 0;
    EXPECT_EQ(mixerClose(reinterpret_cast<HMIXER>(&not_a_mixer)), MMRESULT(MMSYSERR_INVALHANDLE));
    MIXERLINEA line{};
    line.cbStruct = sizeof line;
    EXPECT_EQ(mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(&not_a_mixer), &line, 0), MMRESULT(MMSYSERR_INVALHANDLE));
}

TEST(SynthGain, EqualStepsOfTheLeftVolumeAreEqualStepsInDecibels) {
    EXPECT_FLOAT_EQ(platform::synth_gain(0), 0.0f);
    EXPECT_FLOAT_EQ(platform::synth_gain(0xFFFF), platform::synth_full_gain);
    EXPECT_FLOAT_EQ(platform::synth_gain(0xFFFF0000), 0.0f);  // the right half is not the volume
    auto db = [](DWORD v) { return 20 * std::log10(platform::synth_gain(v) / platform::synth_full_gain); };
    EXPECT_NEAR(db(1), -platform::synth_volume_range_db, 0.01);
    for (DWORD from : {257u, 64u * 257, 127u * 257, 200u * 257})
        EXPECT_NEAR(db(from + 50 * 257) - db(from), platform::synth_volume_range_db * 50 * 257 / 65535, 1e-3) << from;
}

TEST(WavFile, ValidAfterEveryBlock) {
    auto header = platform::wav_header(44100, 2, 0);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 4), "RIFF");
    EXPECT_EQ(wav::le32(&header[4]), 36u);
    EXPECT_EQ(wav::le32(&header[24]), 44100u);
    EXPECT_EQ(wav::le32(&header[28]), 44100u * 4);
    EXPECT_EQ(wav::le16(&header[32]), 4);

    std::string path = testing::TempDir() + "wav_file_test_" + std::to_string(getpid()) + ".wav";
    platform::WavFile file;
    ASSERT_TRUE(file.open(path.c_str(), 8000, 2));
    wav::Audio audio = wav::read(path);
    ASSERT_TRUE(audio.valid) << audio.problem;
    EXPECT_EQ(audio.mono.size(), 0u);
    int16_t block[2 * 100];
    for (int i = 0; i < 200; ++i) block[i] = int16_t(i % 2 ? -16384 : 16384);
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(file.append(block, 100));
        audio = wav::read(path);
        ASSERT_TRUE(audio.valid) << audio.problem;
        EXPECT_EQ(audio.sample_rate, 8000u);
        EXPECT_EQ(audio.channels, 2);
        EXPECT_EQ(audio.mono.size(), size_t(100 * round));
    }
    unlink(path.c_str());
    platform::WavFile nowhere;
    EXPECT_FALSE(nowhere.open("/nonexistent-directory/x.wav", 8000, 2));
    EXPECT_FALSE(nowhere.append(block, 100));
}

// Each record goes into the 64-frame block nearest its exact time on the
// stream's timeline (not the first block at or after it, nor a block another
// player's counting would give), counted from the first whole block the
// synthesizer could still reach at the restart.
TEST(SynthClock, EachRecordGoesIntoTheBlockNearestItsExactTime) {
    struct Row {
        const char* what;
        DWORD division;
        uint64_t tempo_tick;  // a tempo record there (0: none)
        DWORD tempo;
        uint64_t tick;
        double exact_s;       // worked out by hand
        int64_t next_block;   // the first block not rendered yet, from the timeline's first
    } rows[] = {
        {"a tick, rounded up to the nearest block", 480, 0, 0, 1, 1 / 960.0, 0},            // 0.72 blocks
        {"rounded down, not up", 480, 0, 0, 3, 3 / 960.0, 0},                               // 2.15 blocks
        {"off the grid", 480, 0, 0, 170, 170 / 960.0, 0},
        {"after a tempo change", 480, 480, 600000, 900, 0.5 + 420 / 480.0 * 0.6, 0},
        {"SMPTE 25 frames of 40 ticks, tempo ignored", 0xE728, 100, 250000, 1234, 1.234, 0},
        {"SMPTE 29.97 frames of 4 ticks", 0xE304, 0, 0, 300, 300 / (29.97 * 4), 0},
        {"late: the first block not rendered", 480, 0, 0, 170, 170 / 960.0 + (130 - 122) * 64 / 44100.0, 130},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        platform::StreamTimeline timeline;
        timeline.set_division(0, row.division);
        if (row.tempo_tick) timeline.set_tempo(row.tempo_tick, row.tempo);
        platform::SynthClock clock(44100, 220.5);
        const int64_t origin = clock.restart(1000.5);
        EXPECT_EQ(origin, 16);  // 1024 frames
        const int64_t block = clock.block_at(clock.frame_of(timeline.due_us(row.tick)), origin + row.next_block);
        EXPECT_EQ(block, origin + std::llround(row.exact_s * 44100 / 64));
    }
}

// The next pass of a stream that played through continues its timeline: its
// time 0 is the last stream's end exactly, however late within the seam
// window (on the last stream's own clock) the restart came, as long as the
// synthesizer has not gone past the end beyond reach; a rendering that must
// not depend on the machine waits for it there. A restart after the window,
// or after a stream reset before its end, anchors anew on the first whole
// block it can reach.
TEST(SynthClock, ANextPassContinuesTheTimelineOfAStreamThatPlayedThrough) {
    struct Row {
        const char* what;
        int64_t reset_us;     // the reset, on the first stream's timeline
        double late;          // frames from the first stream's end to the restart, by the clock
        double past;          // frames from that end to what the synthesizer can reach at the restart
        bool seamless;
    } rows[] = {
        {"at once", 500000, 0, -50, true},
        {"late, within the window", 500500, 200, 60, true},
        {"just within the window and reach", 500000, 220.5, 100, true},
        {"after the window", 500000, 300, 0, false},
        {"the synthesizer beyond reach", 500000, 20, 101, false},
        {"reset before the end", 400000, 0, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        platform::SynthClock clock(44100, 220.5, 100);
        EXPECT_EQ(clock.held_block(0), platform::synth_unheld);
        const int64_t first = clock.restart(1000.5);
        const double end = clock.frame_of(500000);  // 22050 frames on: 344.5 blocks
        clock.handed(clock.frame_of(250000));
        EXPECT_EQ(clock.held_block(2000), first + 172);  // a record may still come for the block of the last
        clock.handed(end);
        clock.stop(clock.frame_of(row.reset_us));
        // Until the restart, the rendering waits at the end while a seam can come.
        EXPECT_EQ(clock.held_block(22050 + row.late), row.seamless || row.past > 100 ? first + 345 : platform::synth_unheld);
        const int64_t second = clock.restart(end + row.past, 22050 + row.late);
        if (row.seamless) {
            EXPECT_EQ(clock.frame_of(0), end);
            EXPECT_EQ(clock.block_at(clock.frame_of(10000), 0), std::llround((end + 441) / 64));
        } else {
            EXPECT_EQ(second, int64_t(std::ceil((end + row.past) / 64)));
        }
    }
}

// Restarts, resets and volumes leave nothing behind: after ten thousand
// switches the timeline starts as close to the reachable frame as after the
// first, the queue holds only what is not rendered yet, a reset drops what
// was handed over for after its point, and what was queued for after a new
// restart's first block (the last stream's release) moves ahead of the new
// records.
TEST(SynthClock, ManyRestartsDoNotDriftOrGrow) {
    using Kind = platform::SynthEvent::Kind;
    platform::SynthClock clock(44100, 220.5);
    double reachable = 777.7;
    platform::SynthEvent taken;
    for (int round = 0; round < 10000; ++round) {
        const int64_t origin = clock.restart(reachable);
        ASSERT_GE(double(origin * 64), reachable) << round;
        ASSERT_LT(double(origin * 64) - reachable, 64) << round;
        for (int64_t due_us : {0, 4000, 8000, 200000}) {
            const double frame = clock.frame_of(due_us);
            clock.handed(frame);
            clock.insert({clock.block_at(frame, origin), frame, Kind::message, DWORD(due_us), 0});
        }
        // A switch 10 ms on: a reset at its own point, the next restart there.
        const double reset = clock.frame_of(10000);
        clock.drop_after(reset);
        clock.insert({clock.block_at(reset, origin), reset, Kind::release, 0, 0});
        clock.stop(reset);
        for (const platform::SynthEvent& queued : clock.queue()) ASSERT_NE(queued.word, 200000u) << round;
        ASSERT_EQ(clock.queue().back().kind, Kind::release);
        // The synthesizer has rendered what was due before 9 ms: the
        // release waits.
        const int64_t rendered = clock.block_at(clock.frame_of(9000), 0);
        reachable += 441.3;
        while (clock.take_due(rendered, &taken)) {
        }
        ASSERT_LE(clock.queue().size(), 1u) << round;
    }
    // The release queued for after the new first block moves to it, ahead of
    // what the new stream hands over.
    clock.insert({clock.restart(reachable - 400), reachable - 400, Kind::message, 0x90, 0});
    ASSERT_EQ(clock.queue().size(), 2u);
    ASSERT_TRUE(clock.take_due(clock.queue().back().block, &taken));
    EXPECT_EQ(taken.kind, Kind::release);
}

}  // namespace
