// The software synthesizer device, driven directly the way a stream drives
// it (records at their due times, volume, reset, the end of the process),
// rendering into WAV files that are then listened to.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/sound/synth_device.h"
#include "support/wav_analysis.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Names of this process alone: other test runs may share the directory.
std::string temp_path(const std::string& name) { return testing::TempDir() + std::to_string(getpid()) + "_" + name; }

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

constexpr DWORD note_on(int channel, int key, int velocity) { return DWORD(0x90 | channel | key << 8 | velocity << 16); }
constexpr DWORD note_off(int channel, int key) { return DWORD(0x80 | channel | key << 8); }
constexpr DWORD program(int channel, int number) { return DWORD(0xC0 | channel | number << 8); }

// A device rendering into a file of the test's own, with the window of
// clock times in which the file's first frame was taken.
struct Rendering {
    std::string path;
    std::unique_ptr<platform::MidiDevice> device;
    Clock::time_point opened_after, opened_before;

    explicit Rendering(const std::string& name) : path(temp_path(name)) {
        MMRESULT error = MMSYSERR_ERROR;
        opened_after = Clock::now();
        device.reset(platform::open_synth_device(path, &error));
        opened_before = Clock::now();
        EXPECT_EQ(error, MMRESULT(MMSYSERR_NOERROR));
    }
    ~Rendering() {
        if (!getenv("KEEP_WAV")) unlink(path.c_str());
    }

    // Where a clock time is in the file, in seconds: an interval as wide as
    // the opening took.
    double earliest(Clock::time_point at) const { return seconds_between(opened_before, at); }
    double latest(Clock::time_point at) const { return seconds_between(opened_after, at); }

    wav::Audio finish() {
        device->silence();
        device->finish();
        device.reset();
        return wav::read(path);
    }
};

// The stream's restart at `restart`: time 0 of its timeline.
void restart_at(platform::MidiDevice& device, Clock::time_point restart) {
    std::this_thread::sleep_until(restart);
    device.restarted();
}

// Plays a record the way the stream does: due at `due` after `restart`,
// handed over `late` after that.
void play_at(platform::MidiDevice& device, Clock::time_point restart, milliseconds due, milliseconds late, DWORD word) {
    std::this_thread::sleep_until(restart + due + late);
    auto us = [](auto d) { return int64_t(std::chrono::duration_cast<std::chrono::microseconds>(d).count()); };
    device.play(0, us(due), us(Clock::now() - restart), word);
}

TEST(SynthDevice, EachNoteSoundsAtItsDueTimeEvenWhenHandedOverLate) {
    Rendering r("synth_onsets.wav");
    ASSERT_TRUE(r.device);
    const Clock::time_point restart = Clock::now() + milliseconds(100);
    const int due_ms[] = {0, 250, 500, 750, 1000, 1250};
    const int late_ms[] = {0, 9, 35, 3, 20, 6};  // a player thread's lateness, below the render delay
    r.device->play(0, 0, 0, program(0, 0));
    restart_at(*r.device, restart);
    for (int i = 0; i < 6; ++i) {
        play_at(*r.device, restart, milliseconds(due_ms[i]), milliseconds(late_ms[i]), note_on(0, 72, 110));
        play_at(*r.device, restart, milliseconds(due_ms[i] + 80), milliseconds(late_ms[i]), note_off(0, 72));
    }
    std::this_thread::sleep_for(milliseconds(400));
    wav::Audio audio = r.finish();
    ASSERT_TRUE(audio.valid) << audio.problem;

    std::vector<double> onsets = wav::onsets(audio);
    ASSERT_EQ(onsets.size(), 6u);
    EXPECT_GE(onsets[0], r.earliest(restart) - 0.003);
    EXPECT_LE(onsets[0], r.latest(restart) + 0.003);
    // Each note is in the 64-frame block (1.45 ms) nearest its due time; the
    // onsets are read within a millisecond or two.
    for (int i = 1; i < 6; ++i) EXPECT_NEAR(onsets[i] - onsets[0], due_ms[i] / 1000.0, 0.005) << "note " << i;
}

// Two renderings of the same records, handed over at once as the stream does
// (reverb and chorus off: their sweeps run from the synthesizer's start), are
// the same sample for sample from the first note on, however late or early
// the machine ran them.
TEST(SynthDevice, TwoRenderingsAreTheSameSampleForSample) {
    setenv("SMFSTREAM_SYNTH_SETTINGS", "synth.reverb.active=0 synth.chorus.active=0", 1);
    std::vector<float> heard[2];
    for (int i = 0; i < 2; ++i) {
        Rendering r("synth_same_" + std::to_string(i) + ".wav");
        ASSERT_TRUE(r.device);
        std::this_thread::sleep_for(milliseconds(17 * i));  // another moment within a block
        r.device->stream_opened();
        r.device->restarted();
        r.device->play(0, 0, 0, program(0, 11));
        for (int n = 0; n < 10; ++n) {
            r.device->play(0, 1000 + n * 73417, 0, note_on(0, 60 + n, 100));
            r.device->play(0, 50000 + n * 73417, 0, note_off(0, 60 + n));
        }
        std::this_thread::sleep_for(milliseconds(1100));
        wav::Audio audio = r.finish();
        ASSERT_TRUE(audio.valid) << audio.problem;
        const size_t first = size_t(
            std::find_if(audio.mono.begin(), audio.mono.end(), [](float v) { return v != 0; }) - audio.mono.begin());
        ASSERT_GT(audio.mono.size(), first + 44100 * 8 / 10);
        heard[i].assign(audio.mono.begin() + long(first), audio.mono.begin() + long(first + 44100 * 8 / 10));
    }
    unsetenv("SMFSTREAM_SYNTH_SETTINGS");
    const auto apart = std::mismatch(heard[0].begin(), heard[0].end(), heard[1].begin());
    EXPECT_TRUE(apart.first == heard[0].end()) << "apart from sample " << apart.first - heard[0].begin();
}

// A write that fails (here the file size limit, as a full disk would) is said
// once, naming the file and the reason; the synthesizer plays on.
TEST(SynthDevice, AFailedWriteIsSaidOnce) {
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 64 * 1024;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    testing::internal::CaptureStderr();
    {
        Rendering r("synth_full.wav");
        ASSERT_TRUE(r.device);
        r.device->restarted();
        r.device->play(0, 0, 0, note_on(0, 60, 100));
        std::this_thread::sleep_for(milliseconds(700));  // 0.37 s fit
        r.device->play(0, 700000, 700000, note_off(0, 60));
        r.finish();
    }
    std::string said = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("synth_full.wav (File too large)"), std::string::npos) << said;
}

// midiOutReset as on Windows: the pedal goes up and every note gets its
// note-off, so a held chord rings out its release (and the reverb) instead
// of a click, and no voice is left once the release is over.
TEST(SynthDevice, ResetReleasesEveryNote) {
    Rendering r("synth_reset.wav");
    ASSERT_TRUE(r.device);
    const Clock::time_point restart = Clock::now() + milliseconds(50);
    r.device->play(0, 0, 0, program(0, 48));  // strings: they sound while held
    r.device->play(0, 0, 0, program(1, 0));   // a piano, held by the pedal
    restart_at(*r.device, restart);
    play_at(*r.device, restart, milliseconds(0), milliseconds(0), 0x007F40B1);  // sustain down
    play_at(*r.device, restart, milliseconds(0), milliseconds(0), note_on(1, 67, 120));
    for (int key : {60, 64, 67}) play_at(*r.device, restart, milliseconds(0), milliseconds(0), note_on(0, key, 110));
    play_at(*r.device, restart, milliseconds(30), milliseconds(0), note_off(1, 67));
    std::this_thread::sleep_until(restart + milliseconds(700));
    const double reset_after = seconds_between(restart, Clock::now());
    r.device->reset();
    const Clock::time_point give_up = Clock::now() + milliseconds(8000);
    while (platform::synth_active_voices(r.device.get()) > 0 && Clock::now() < give_up)
        std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(platform::synth_active_voices(r.device.get()), 0);
    wav::Audio audio = r.finish();
    ASSERT_TRUE(audio.valid) << audio.problem;

    const double start = wav::first_sound(audio), reset = start + reset_after;
    const size_t at = size_t(reset * audio.sample_rate), ms = audio.sample_rate / 1000;
    const float held = wav::peak(audio.mono, at - 100 * ms, at);
    ASSERT_GT(held, 0.01f);
    size_t half = at;
    while (half < audio.mono.size() && wav::peak(audio.mono, half, half + 5 * ms) >= held / 2) half += ms;
    size_t gone = half;
    while (gone < audio.mono.size() && wav::peak(audio.mono, gone, gone + 5 * ms) >= held / 100) gone += ms;
    const double fall = double(gone - half) / audio.sample_rate;
    EXPECT_GE(fall, 0.200);
    printf("half level to 1%% in %.0f ms after the reset\n", fall * 1000);
}

// A stepped device: no output, its clock the frames it renders, stepped by
// the test block by block; reverb and chorus off unless the test keeps them.
struct Stepped {
    std::unique_ptr<platform::MidiDevice> device;
    int64_t frame;
    std::vector<float> left, right;  // everything rendered

    explicit Stepped(int64_t first_frame, bool effects = false) : frame(first_frame) {
        if (!effects) setenv("SMFSTREAM_SYNTH_SETTINGS", "synth.reverb.active=0 synth.chorus.active=0", 1);
        MMRESULT error = MMSYSERR_ERROR;
        device.reset(platform::open_stepped_synth_device(first_frame, &error));
        unsetenv("SMFSTREAM_SYNTH_SETTINGS");
        EXPECT_EQ(error, MMRESULT(MMSYSERR_NOERROR));
    }
    platform::MidiDevice* operator->() { return device.get(); }

    // Renders one block; returns the voices sounding after it.
    int step() {
        left.resize(left.size() + 64);
        right.resize(right.size() + 64);
        platform::step_synth_device(device.get(), 64, &left[left.size() - 64], &right[right.size() - 64]);
        frame += 64;
        return platform::synth_active_voices(device.get());
    }
    void step_ms(double ms) {
        for (int64_t until = frame + int64_t(ms * 44.1); frame < until;) step();
    }
    int64_t block() const { return frame / 64; }  // the next block to render
    // The blocks (absolute) in which a sound began after silence, stepping `blocks`.
    std::vector<int64_t> onsets(int64_t blocks) {
        std::vector<int64_t> found;
        int voices = platform::synth_active_voices(device.get());
        for (int64_t i = 0; i < blocks; ++i) {
            const int64_t rendered = block();
            const int now = step();
            if (voices == 0 && now > 0) found.push_back(rendered);
            voices = now;
        }
        return found;
    }
    double rms(int64_t from_frame, int64_t to_frame) const {
        double sum = 0;
        for (int64_t i = from_frame; i < to_frame; ++i) sum += double(left[i]) * left[i] + double(right[i]) * right[i];
        return std::sqrt(sum / double(2 * (to_frame - from_frame)));
    }
};

// The block nearest a due time on a timeline whose time 0 is origin_frame.
int64_t block_of(double origin_frame, int64_t due_us) { return std::llround((origin_frame + due_us * 0.0441) / 64); }

// The device's frame count is its own and 64 bits wide: a stream playing
// across 2^32 frames (27 hours at 44.1 kHz) sounds each note in the block
// nearest its due time on both sides of the wrap.
TEST(SynthDevice, EachNoteOnItsBlockAcrossThe32BitWrap) {
    const int64_t wrap = int64_t(1) << 32;
    Stepped synth(wrap - 64 * 1000);  // 1.45 s before the wrap
    ASSERT_TRUE(synth.device);
    synth.step_ms(20);
    const int64_t origin = synth.block();
    synth->restarted();
    const int64_t due_us[] = {0, 700000, 1130931, 1731013, 2203021, 3000017};
    for (int64_t due : due_us) {
        synth->play(0, due, 0, note_on(9, 76, 110));
        synth->play(0, due + 30000, 0, note_off(9, 76));
    }
    std::vector<int64_t> expected;
    for (int64_t due : due_us) expected.push_back(block_of(double(origin * 64), due));
    ASSERT_LT(expected[2] * 64, wrap);
    ASSERT_GT(expected[3] * 64, wrap);
    EXPECT_EQ(synth.onsets(expected.back() - origin + 100), expected);
}

// The next pass of a stream that played through, restarted within the
// device's latency after its end, continues its timeline: its notes sound
// where they would had the file been twice as long, however late the restart
// came. A restart after a pause anchors anew on the next block.
TEST(SynthDevice, ANextPassContinuesWhereTheLastEnded) {
    struct Row {
        const char* what;
        double restart_after_ms;  // after the first pass's end
        bool seamless;
    } rows[] = {{"at once", 0.5, true}, {"late, within the latency", 3, true}, {"after a pause", 40, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Stepped synth(64 * 77);
        ASSERT_TRUE(synth.device);
        synth->stream_opened();
        const int64_t origin = synth.block();
        synth->restarted();
        synth->play(0, 0, 0, note_on(9, 76, 110));
        synth->play(0, 30000, 0, note_off(9, 76));
        synth->play(0, 250017, 0, DWORD(MEVT_NOP) << 24);  // the pass's end
        const double end = double(origin * 64) + 250017 * 0.0441;
        ASSERT_EQ(synth.onsets(int64_t((end + row.restart_after_ms * 44.1) / 64) + 1 - synth.block()).size(), 1u);
        synth->reset();
        synth->stream_opened();
        const int64_t restart = synth.block();
        synth->restarted();
        synth->play(0, 100000, 0, note_on(9, 76, 110));
        synth->play(0, 130000, 0, note_off(9, 76));
        const int64_t expected = row.seamless ? block_of(end, 100000) : block_of(double(restart * 64), 100000);
        EXPECT_EQ(synth.onsets(400), std::vector<int64_t>{expected});
    }
}

TEST(SynthDevice, VolumeFollowsTheWordAndZeroIsSilence) {
    Stepped synth(0);
    ASSERT_TRUE(synth.device);
    const DWORD volumes[] = {255 * 257, 64 * 257, 0, 0xFFFF0000};  // the last: right half only
    synth->restarted();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(synth->set_volume(volumes[i]), MMRESULT(MMSYSERR_NOERROR));
        synth->play(0, 400000 * i + 20000, 0, note_on(0, 60, 100));
        synth->play(0, 400000 * i + 300000, 0, note_off(0, 60));
        synth.step_ms(400);
    }
    // Each note's level while it is held; the reverb of the one before has
    // died down by then.
    auto level = [&](int i) { return synth.rms(int64_t((0.4 * i + 0.12) * 44100), int64_t((0.4 * i + 0.31) * 44100)); };
    const double full = level(0);
    EXPECT_GT(full, 0.005);
    // 191 steps of 257 apart on the taper.
    EXPECT_NEAR(20 * std::log10(full / level(1)), platform::synth_volume_range_db * 191 * 257 / 65535, 1.0);
    EXPECT_EQ(level(2), 0.0);
    EXPECT_EQ(level(3), 0.0);
}

// A switch is a reset and a restart: after hundreds of them, 2 ms apart, a
// note sounds as soon after its restart as the first did.
TEST(SynthDevice, ANoteAfterManySwitchesIsAsPromptAsTheFirst) {
    Stepped synth(0);
    ASSERT_TRUE(synth.device);
    auto click = [&] {
        synth->stream_opened();
        const int64_t restart = synth.block();
        synth->restarted();
        synth->play(0, 0, 0, note_on(9, 76, 120));
        synth->play(0, 60000, 0, note_off(9, 76));
        const std::vector<int64_t> onsets = synth.onsets(int64_t(0.3 * 44100 / 64));
        synth->reset();
        return onsets.size() == 1 ? onsets[0] - restart : -1;
    };
    const int64_t first = click();
    EXPECT_GE(first, 0);
    for (int i = 0; i < 300; ++i) {
        synth->stream_opened();
        synth->restarted();
        synth->play(0, 20000, 0, note_on(9, 76, 120));  // reset before it is due: never sounds
        synth.step_ms(2);
        synth->reset();
    }
    synth.step_ms(500);
    EXPECT_EQ(click(), first);
}

// Each file starts from a clean slate: after a file that set mono mode, a
// pitch-bend range of 12 and a bend, full reverb and chorus sends, a closed
// filter, another bank and tuning, a chord sounds as it does on a synthesizer
// that played nothing before (its release left to ring out first).
TEST(SynthDevice, AStreamOpensOnChannelsBackToTheirDefaults) {
    const DWORD settings[] = {
        0x007EB0,                                  // mono on
        0x0065B0, 0x0064B0, 0x0C06B0, 0x2000E0,    // RPN 0: bend range 12; bent down
        0x007F5BB0, 0x007F5DB0, 0x00004AB0,        // reverb and chorus sends full, filter closed
        0x000147B0, 0x000149B0, 0x000100B0,        // resonance, attack, bank 1
        0x0065B0, 0x0164B0, 0x7F06B0,              // RPN 1: fine tuning up
    };
    auto chord = [](Stepped& synth) {
        synth->stream_opened();
        synth->restarted();
        for (int key : {60, 64, 67}) synth->play(0, 0, 0, note_on(0, key, 100));
        for (int key : {60, 64, 67}) synth->play(0, 800000, 0, note_off(0, key));
        const int64_t from = synth.frame;
        synth.step_ms(900);
        return from;
    };
    Stepped alone(0, true), after(0, true);
    ASSERT_TRUE(alone.device && after.device);
    after->stream_opened();
    after->restarted();
    for (DWORD word : settings) after->play(0, 0, 0, word);
    after->play(0, 0, 0, note_on(0, 72, 100));
    after.step_ms(500);
    after->reset();
    alone.step_ms(4000);
    after.step_ms(3500);
    const int64_t from = chord(alone);
    ASSERT_EQ(chord(after), from);
    const double level = alone.rms(from, from + 44100 * 3 / 4);
    ASSERT_GT(level, 0.005);
    EXPECT_NEAR(20 * std::log10(after.rms(from, from + 44100 * 3 / 4) / level), 0.0, 0.1);
    double apart = 0;
    for (int64_t i = from; i < from + 44100 * 3 / 4; ++i) apart += std::pow(double(after.left[i] - alone.left[i]), 2);
    EXPECT_LT(10 * std::log10(apart / (44100 * 3 / 4) / (level * level)), -30.0) << "the difference, against the chord";
}

// The child of the test below: renders into SYNTH_CHILD_WAV until killed.
TEST(SynthDevice, ChildRenderingUntilKilled) {
    const char* path = getenv("SYNTH_CHILD_WAV");
    if (!path) GTEST_SKIP() << "run by TheFileIsValidWhenTheProcessIsKilled";
    MMRESULT error;
    platform::MidiDevice* device = platform::open_synth_device(path, &error);
    ASSERT_TRUE(device);
    device->play(0, 0, 0, note_on(0, 64, 100));
    std::this_thread::sleep_for(milliseconds(10000));  // the test kills it long before
    _exit(0);
}

TEST(SynthDevice, TheFileIsValidWhenTheProcessIsKilled) {
    std::string path = temp_path("synth_killed.wav");
    unlink(path.c_str());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setenv("SYNTH_CHILD_WAV", path.c_str(), 1);
        freopen("/dev/null", "w", stdout);
        execl("/proc/self/exe", "synth_device_test", "--gtest_filter=SynthDevice.ChildRenderingUntilKilled",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Killed while it renders (0.3 s rendered), at some moment in the middle of a block.
    const auto give_up = Clock::now() + milliseconds(5000);
    struct stat file{};
    while (Clock::now() < give_up && (stat(path.c_str(), &file) != 0 || file.st_size < 44 + 44100 * 4 * 3 / 10))
        std::this_thread::sleep_for(milliseconds(10));
    std::this_thread::sleep_for(milliseconds(37));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    wav::Audio audio = wav::read(path);
    unlink(path.c_str());
    ASSERT_TRUE(audio.valid) << audio.problem;
    EXPECT_EQ(audio.file_bytes, 44 + size_t(audio.declared_data_bytes));
    EXPECT_GT(audio.seconds(), 0.3);
    EXPECT_GT(wav::peak(audio.mono), 0.01f);
}

TEST(SynthDevice, CannotOpenSaysWhyInOneLine) {
    struct Case {
        const char* soundfont;
        std::string wav;
        const char* advice;
    } cases[] = {
        {"/nonexistent/none.sf2", temp_path("never.wav"), "SMFSTREAM_SOUNDFONT"},
        {nullptr, "/nonexistent-directory/out.wav", "SMFSTREAM_DEVICE=synth:FILE.wav"},
    };
    for (const Case& c : cases) {
        if (c.soundfont) setenv("SMFSTREAM_SOUNDFONT", c.soundfont, 1);
        testing::internal::CaptureStderr();
        MMRESULT error = MMSYSERR_NOERROR;
        platform::MidiDevice* device = platform::open_synth_device(c.wav, &error);
        std::string said = testing::internal::GetCapturedStderr();
        unsetenv("SMFSTREAM_SOUNDFONT");
        EXPECT_EQ(device, nullptr);
        EXPECT_EQ(error, MMRESULT(MMSYSERR_NODRIVER));
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(c.advice), std::string::npos) << said;
    }
}

// FluidSynth's settings by their own names: each bad one is named in a line
// of its own and left out, and the device opens with the rest.
TEST(SynthDevice, SettingsGoByFluidSynthsNamesAndABadOneIsLeftOut) {
    setenv("SMFSTREAM_SYNTH_SETTINGS", "synth.polyphony=many no.such.setting=1 synth.gain=0 loose-word", 1);
    testing::internal::CaptureStderr();
    Rendering r("synth_settings.wav");
    std::string said = testing::internal::GetCapturedStderr();
    unsetenv("SMFSTREAM_SYNTH_SETTINGS");
    ASSERT_TRUE(r.device);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 3) << said;
    for (const char* named : {"synth.polyphony=many", "no.such.setting", "loose-word"})
        EXPECT_NE(said.find(named), std::string::npos) << said;
    // synth.gain is the gain at full volume: 0 leaves full volume silent.
    r.device->set_volume(0xFFFF);
    r.device->play(0, 0, 0, note_on(0, 60, 120));
    std::this_thread::sleep_for(milliseconds(200));
    wav::Audio audio = r.finish();
    ASSERT_TRUE(audio.valid) << audio.problem;
    EXPECT_GT(audio.seconds(), 0.1);
    EXPECT_EQ(wav::peak(audio.mono), 0.0f);
}

TEST(SynthDevice, NoAudioOutputSaysWhatToSet) {
    if (access("/dev/snd", F_OK) == 0 || getenv("PULSE_SERVER") || getenv("XDG_RUNTIME_DIR"))
        GTEST_SKIP() << "this machine may have an audio output";
    testing::internal::CaptureStderr();
    MMRESULT error = MMSYSERR_NOERROR;
    platform::MidiDevice* device = platform::open_synth_device("", &error);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(error, MMRESULT(MMSYSERR_NODRIVER));
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("SMFSTREAM_DEVICE=synth:FILE.wav"), std::string::npos) << said;
}

}  // namespace
