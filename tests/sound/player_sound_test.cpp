// The player as people hear it: the real smfstream program plays files the
// test writes into a WAV file (SMFSTREAM_DEVICE=synth:FILE.wav), steered
// through its standard input like a controller does, and the audio is
// listened to: where each note starts, how loud, when it stops.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/smf_writer.h"
#include "support/wav_analysis.h"

namespace {

using std::chrono::milliseconds;

// A directory of this test program's own, removed when it ends.
const test::TempDir& temp_dir() {
    static test::TempDir dir;
    return dir;
}

std::string temp_path(const std::string& name) { return temp_dir().file(name); }

void write_file(const std::string& path, const smf::Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The player rendering into a WAV file.
test::SpawnOptions into(const std::string& wav_path) {
    test::SpawnOptions options;
    options.env["SMFSTREAM_DEVICE"] = "synth:" + wav_path;
    return options;
}

smf::Bytes name_command(const std::string& name) {
    smf::Bytes command{uint8_t(name.size() & 0xFF), uint8_t(name.size() >> 8)};
    command.insert(command.end(), name.begin(), name.end());
    return command;
}

// Plays `midi` once at `volume` into `wav`: the player's input is closed
// after its first end-of-pass marker, as a controller that plays a file once does.
wav::Audio play_once(const std::string& midi, int volume, const std::string& wav_path,
                      const test::SpawnOptions& options) {
    test::ChildProcess player({SMFSTREAM_PROGRAM, std::to_string(volume), midi}, options);
    EXPECT_TRUE(player.started());
    EXPECT_TRUE(player.wait_out_count("1", 1));
    player.close_stdin();
    test::ExitStatus status = player.wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    return wav::read(wav_path);
}
wav::Audio play_once(const std::string& midi, int volume, const std::string& wav_path) {
    return play_once(midi, volume, wav_path, into(wav_path));
}

// Two tracks of short piano notes, each alone (0.3 s apart at least), with a
// tempo change half way;
// a rest first, so that the pass that starts again after the marker has not
// sounded yet when the input is closed. Returns the notes' times in seconds.
smf::Bytes timed_notes(std::vector<double>* times) {
    const uint16_t division = 96;
    smf::Track conductor, a, b;
    conductor.tempo(0, 500000);      // a quarter note is 0.5 s
    conductor.tempo(480, 300000);    // from tick 480 on, 0.3 s
    conductor.end();
    a.program(0, 0, 0);
    b.program(0, 1, 0);
    const uint32_t ticks[] = {48, 144, 240, 336, 480, 576, 672, 768};
    uint32_t at_a = 0, at_b = 0;
    for (size_t i = 0; i < std::size(ticks); ++i) {
        smf::Track& t = i % 2 ? b : a;
        uint32_t& at = i % 2 ? at_b : at_a;
        uint8_t channel = i % 2;
        t.note_on(ticks[i] - at, channel, 72, 110);
        t.note_off(30, channel, 72);
        at = ticks[i] + 30;
        times->push_back(ticks[i] <= 480 ? ticks[i] * 0.5 / division : 2.5 + (ticks[i] - 480) * 0.3 / division);
    }
    a.end();
    b.end();
    return smf::file({conductor, a, b}, division);
}

TEST(PlayerSound, EachNoteSoundsWhereTheTempoPutsIt) {
    std::vector<double> times;
    const std::string midi = temp_path("timed.mid"), wav_path = temp_path("timed.wav");
    write_file(midi, timed_notes(&times));
    wav::Audio audio = play_once(midi, 200, wav_path);
    ASSERT_TRUE(audio.valid) << audio.problem;
    EXPECT_EQ(audio.file_bytes, 44 + size_t(audio.declared_data_bytes));

    std::vector<double> onsets = wav::onsets(audio);
    ASSERT_EQ(onsets.size(), times.size());
    double worst = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        double off = (onsets[i] - onsets[0]) - (times[i] - times[0]);
        EXPECT_NEAR(off, 0, 0.010) << "note " << i;
        worst = std::max(worst, std::fabs(off));
    }
    RecordProperty("worst_onset_offset_ms", std::to_string(worst * 1000));
    printf("onsets against the tempo: worst offset %.2f ms over %zu notes\n", worst * 1000, times.size());
}

// The live path at a large audio period, through FluidSynth's `file` audio
// driver (it renders period by period in real time, as a sound card's
// callback does): every note in the 64-frame block nearest its exact time,
// one fixed latency after it.
TEST(PlayerSound, OnsetsLandInTheBlockNearestTheirExactTime) {
    std::vector<double> times;
    const std::string midi = temp_path("exact.mid"), ours = temp_path("exact.wav");
    write_file(midi, timed_notes(&times));
    test::SpawnOptions live;
    live.env["SMFSTREAM_DEVICE"] = "synth";
    live.env["SMFSTREAM_SYNTH_SETTINGS"] = "audio.driver=file audio.file.name=" + ours +
                                           " audio.period-size=4096 synth.chorus.active=0 synth.reverb.active=0";
    wav::Audio audio = play_once(midi, 200, ours, live);
    ASSERT_TRUE(audio.valid) << audio.problem;

    std::vector<double> onsets = wav::onsets(audio);
    ASSERT_EQ(onsets.size(), times.size());
    std::vector<double> offsets;
    for (size_t i = 0; i < onsets.size(); ++i) offsets.push_back(onsets[i] - times[i]);
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    double worst = 0;
    for (size_t i = 0; i < offsets.size(); ++i) {
        // Half a block (0.73 ms) and the reading of the onset.
        EXPECT_NEAR(offsets[i], median, 0.0008) << "note " << i;
        worst = std::max(worst, std::fabs(offsets[i] - median));
    }
    printf("onsets against their exact times at period 4096: latency %.1f ms, worst %.2f ms\n", median * 1000,
           worst * 1000);
}

TEST(PlayerSound, VolumeZeroIsSilentAndFullIsLouderThanAQuarter) {
    smf::Track t;
    t.program(0, 0, 0).note_on(24, 0, 60, 100).note_off(96, 0, 60).note_on(0, 0, 64, 100).note_off(96, 0, 64).end();
    const std::string midi = temp_path("volume.mid");
    write_file(midi, smf::file({t}, 96));
    double level[3];
    const int volumes[] = {0, 64, 255};
    for (int i = 0; i < 3; ++i) {
        const std::string path = temp_path("volume" + std::to_string(volumes[i]) + ".wav");
        wav::Audio audio = play_once(midi, volumes[i], path);
        ASSERT_TRUE(audio.valid) << audio.problem;
        ASSERT_GT(audio.seconds(), 1.0);
        level[i] = wav::rms(audio.mono);
        if (volumes[i] == 0) {
            EXPECT_EQ(wav::peak(audio.mono), 0.0f);
        }
    }
    EXPECT_GT(level[1], 0.001);
    EXPECT_GT(level[2], 3 * level[1]);
}

// A switch resets the device: the old file's chord is released, not cut,
// and the new file starts on its own time.
TEST(PlayerSound, ANewFileReleasesTheOldOne) {
    smf::Track held, later;
    held.program(0, 0, 48).note_on(0, 0, 60, 120).note_on(0, 0, 67, 120).note_off(96 * 16, 0, 60).end();  // 8 s of strings
    later.program(0, 0, 0).note_on(96 * 3, 0, 72, 110).note_off(40, 0, 72).end();  // a rest of 1.5 s, then a piano note
    const std::string first = temp_path("held.mid"), second = temp_path("later.mid"), wav_path = temp_path("switch.wav");
    write_file(first, smf::file({held}, 96));
    write_file(second, smf::file({later}, 96));

    test::ChildProcess player({SMFSTREAM_PROGRAM, "255", first}, into(wav_path));
    ASSERT_TRUE(player.started());
    // The name goes when the chord has sounded for 0.6 s: the file holds that much.
    struct stat file{};
    for (int waited = 0; waited < 10000; waited += 5) {
        if (stat(wav_path.c_str(), &file) == 0 && file.st_size >= 44 + 44100 * 4 * 6 / 10) break;
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_TRUE(player.write(name_command(second)));
    ASSERT_TRUE(player.wait_out_count("1", 2));  // the chord's pass, ended by the name, and the piano's
    player.close_stdin();
    test::ExitStatus status = player.wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    wav::Audio audio = wav::read(wav_path);
    ASSERT_TRUE(audio.valid) << audio.problem;

    // The piano sounds 1.5 s after its pass began, which was when the chord
    // began to fall; the chord rings out, and is gone before the piano.
    std::vector<double> onsets = wav::onsets(audio);
    ASSERT_GE(onsets.size(), 1u);
    const double chord = wav::first_sound(audio), piano = onsets.back(), new_pass = piano - 1.5;
    EXPECT_GT(new_pass - chord, 0.5);
    const size_t ms = audio.sample_rate / 1000, at = size_t(new_pass * audio.sample_rate);
    const float level = wav::peak(audio.mono, at - 100 * ms, at);
    size_t half = at;
    while (half < at + 1000 * ms && wav::peak(audio.mono, half, half + 5 * ms) >= level / 2) half += ms;
    size_t gone = half;
    while (gone < at + 1400 * ms && wav::peak(audio.mono, gone, gone + 5 * ms) >= level / 100) gone += ms;
    EXPECT_LT(half, at + 150 * ms);    // the old sound falls with the new pass
    EXPECT_GE(gone - half, 200 * ms);  // and rings out (SynthDevice.ResetReleasesEveryNote tells release from cut)
    EXPECT_LT(gone, size_t((piano - 0.01) * audio.sample_rate));
    printf("the chord fell to half its level in %.0f ms, from there to 1%% in %.0f ms\n", double(half - at) / ms,
           double(gone - half) / ms);
}

// The synthesizer lives in libsmfstream-sound.so beside the program: a copy
// of the program alone, beside a module of another interface version, or
// beside one cut short (an interrupted copy, which the dynamic loader would
// map and die of) or beside a symbolic link loop, has no device 0, says why
// in one line and runs on.
TEST(PlayerSound, WithoutAFittingSoundModuleThereIsNoDeviceAndOneLineSaysWhy) {
    struct Case {
        const char* name;
        const char* module;  // copied beside the program; null: none
        const char* why;     // in the line, after the path of the module
        bool cut_in_half = false;
        bool link_loop = false;  // the module a symbolic link to itself
    } cases[] = {
        {"alone", nullptr, ""},
        {"other-version", SMFSTREAM_OTHER_VERSION_MODULE, ": its interface is version "},
        {"cut-short", SMFSTREAM_MODULE, ": cut short", true},
        {"link-loop", nullptr, ": cannot be read (Too many levels of symbolic links)", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string alone = temp_path(c.name);
        ASSERT_EQ(mkdir(alone.c_str(), 0700), 0);
        const std::string program = alone + "/smfstream";
        ASSERT_EQ(system(("cp '" + std::string(SMFSTREAM_PROGRAM) + "' '" + program + "'").c_str()), 0);
        if (c.module) {
            ASSERT_EQ(system(("cp '" + std::string(c.module) + "' '" + alone + "/libsmfstream-sound.so'").c_str()), 0);
        }
        if (c.link_loop) {
            ASSERT_EQ(symlink("libsmfstream-sound.so", (alone + "/libsmfstream-sound.so").c_str()), 0);
        }
        if (c.cut_in_half) {
            struct stat whole {};
            ASSERT_EQ(stat((alone + "/libsmfstream-sound.so").c_str(), &whole), 0);
            ASSERT_EQ(truncate((alone + "/libsmfstream-sound.so").c_str(), whole.st_size / 2), 0);
        }
        smf::Track t;
        t.note_on(0, 0, 60, 100).note_off(96, 0, 60).end();
        const std::string midi = alone + "/alone.mid", wav_path = alone + "/alone.wav";
        write_file(midi, smf::file({t}, 96));
        test::ChildProcess player({program, "100", midi}, into(wav_path));
        ASSERT_TRUE(player.started());
        ASSERT_TRUE(player.wait_out_count("1", 1)) << player.err();
        player.close_stdin();
        test::ExitStatus status = player.wait();
        EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
        const std::string said = player.err();
        const std::string why = "smfstream: no MIDI output: the sound module cannot be loaded: ";
        EXPECT_EQ(test::count_of(said, "no MIDI output"), 1u) << said;
        size_t at = said.find(why);
        ASSERT_NE(at, std::string::npos) << said;
        const std::string line = said.substr(at, said.find('\n', at) - at);
        EXPECT_NE(line.find(std::string("libsmfstream-sound.so") + c.why), std::string::npos) << said;
        EXPECT_NE(access(wav_path.c_str(), F_OK), 0);
    }
}

TEST(PlayerSound, TheControllerPlaysAFileOnceIntoAWavFile) {
    smf::Track t;
    t.program(0, 0, 0).note_on(24, 0, 60, 100).note_off(96, 0, 60).end();
    const std::string midi = temp_path("controller.mid"), wav_path = temp_path("controller.wav");
    write_file(midi, smf::file({t}, 96));
    test::ChildProcess tool({SMFSTREAM_PLAY_TOOL, "--quiet", "--player", SMFSTREAM_PROGRAM, "--wav", wav_path, "100", midi});
    ASSERT_TRUE(tool.started());
    test::ExitStatus status = tool.wait();
    EXPECT_TRUE(status.exited && status.code == 0) << status.describe();
    wav::Audio audio = wav::read(wav_path);
    ASSERT_TRUE(audio.valid) << audio.problem;
    EXPECT_EQ(wav::onsets(audio).size(), 1u);
}

TEST(PlayerSound, TheControllerRefusesANameTheProtocolCannotCarry) {
    smf::Track t;
    t.program(0, 0, 0).note_on(24, 0, 60, 100).note_off(96, 0, 60).end();
    const std::string midi = temp_path("refuse.mid"), wav_path = temp_path("refuse.wav");
    write_file(midi, smf::file({t}, 96));
    const std::string out = temp_path("refuse.txt");
    // Names of 128 and 256 bytes cannot be sent; the tool says so and goes on.
    const std::string command = std::string(SMFSTREAM_PLAY_TOOL) + " --quiet --commands --player " + SMFSTREAM_PROGRAM +
                                " --wav " + wav_path + " 100 " + midi + " 2>" + out + " <<'EOF'\nplay " +
                                std::string(128, 'x') + "\nplay " + std::string(256, 'y') + "\nvolume 300\nquit\nEOF\n";
    EXPECT_EQ(system(command.c_str()), 0);
    std::ifstream in(out);
    std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(said.find("cannot send a name of 128 bytes"), std::string::npos) << said;
    EXPECT_NE(said.find("cannot send a name of 256 bytes"), std::string::npos) << said;
    EXPECT_NE(said.find("commands are"), std::string::npos) << said;
}

}  // namespace
