// The software synthesizer device, driven directly the way a stream drives
// it (records at their due times, volume, reset, the end of the process),
// rendering into WAV files that are then listened to.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/linux/synth_device.h"
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
    // Events take effect at FluidSynth's 64-frame block boundaries (1.45 ms).
    for (int i = 1; i < 6; ++i) EXPECT_NEAR(onsets[i] - onsets[0], due_ms[i] / 1000.0, 0.004) << "note " << i;
}

TEST(SynthDevice, VolumeFollowsTheWordAndZeroIsSilence) {
    Rendering r("synth_volume.wav");
    ASSERT_TRUE(r.device);
    const Clock::time_point restart = Clock::now() + milliseconds(50);
    const DWORD volumes[] = {255 * 257, 64 * 257, 0, 0xFFFF0000};  // the last: right half only
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_until(restart + milliseconds(400 * i));
        EXPECT_EQ(r.device->set_volume(volumes[i]), MMRESULT(MMSYSERR_NOERROR));
        play_at(*r.device, restart, milliseconds(400 * i + 20), milliseconds(0), note_on(0, 60, 100));
        play_at(*r.device, restart, milliseconds(400 * i + 300), milliseconds(0), note_off(0, 60));
    }
    std::this_thread::sleep_for(milliseconds(150));
    Clock::time_point end = restart + milliseconds(1600);
    wav::Audio audio = r.finish();
    ASSERT_TRUE(audio.valid) << audio.problem;
    ASSERT_GE(audio.seconds(), r.earliest(end));

    // The first note sounds 20 ms after the restart.
    std::vector<double> onsets = wav::onsets(audio);
    ASSERT_GE(onsets.size(), 1u);
    const double start = onsets[0] - 0.020;
    auto segment = [&](int i) {
        size_t from = size_t((start + 0.4 * i + 0.015) * audio.sample_rate);
        size_t to = size_t((start + 0.4 * i + 0.395) * audio.sample_rate);
        return std::pair{from, to};
    };
    auto [full_from, full_to] = segment(0);
    auto [quarter_from, quarter_to] = segment(1);
    double full = wav::peak(audio.mono, full_from, full_to);
    double quarter = wav::peak(audio.mono, quarter_from, quarter_to);
    EXPECT_GT(full, 0.01);
    EXPECT_NEAR(full / quarter, 255.0 / 64, 0.2);
    for (int i : {2, 3}) {
        auto [from, to] = segment(i);
        EXPECT_LE(wav::peak(audio.mono, from, to), 1.0f / 32768) << "segment " << i;  // the last bit at most
    }
}

TEST(SynthDevice, ResetStopsEverySoundAtOnce) {
    Rendering r("synth_reset.wav");
    ASSERT_TRUE(r.device);
    const Clock::time_point restart = Clock::now() + milliseconds(50);
    r.device->play(0, 0, 0, program(0, 19));  // an organ: it sounds until stopped
    r.device->play(0, 0, 0, program(1, 0));   // a piano, held by the pedal
    play_at(*r.device, restart, milliseconds(0), milliseconds(0), 0x007F40B1);  // sustain down
    play_at(*r.device, restart, milliseconds(0), milliseconds(0), note_on(1, 67, 120));
    play_at(*r.device, restart, milliseconds(30), milliseconds(0), note_off(1, 67));
    play_at(*r.device, restart, milliseconds(150), milliseconds(0), note_on(0, 60, 120));
    std::this_thread::sleep_until(restart + milliseconds(400));
    const double reset_after = seconds_between(restart, Clock::now());
    r.device->reset();
    // Nothing held over: a note after the reset ends with its release.
    play_at(*r.device, restart, milliseconds(700), milliseconds(0), note_on(1, 67, 120));
    play_at(*r.device, restart, milliseconds(750), milliseconds(0), note_off(1, 67));
    std::this_thread::sleep_for(milliseconds(1000));
    wav::Audio audio = r.finish();
    ASSERT_TRUE(audio.valid) << audio.problem;

    // The first note sounds at the restart (as the test above shows): the
    // file's time of the restart. The same note sounds again after the reset.
    std::vector<double> onsets = wav::onsets(audio);
    ASSERT_GE(onsets.size(), 2u);
    const double start = onsets.front(), reset = start + reset_after;
    EXPECT_NEAR(onsets.back(), start + 0.7, 0.004);
    EXPECT_GT(wav::rms(audio.mono, size_t((start + 0.2) * audio.sample_rate), size_t(reset * audio.sample_rate)), 0.01);
    const double stopped = wav::last_sound(audio, reset, start + 0.65);
    EXPECT_LE(stopped, reset + 0.050);
    printf("silent %.2f ms after the reset\n", (stopped - reset) * 1000);
    const size_t second = size_t(onsets.back() * audio.sample_rate), end = audio.mono.size();
    EXPECT_LT(wav::peak(audio.mono, end - audio.sample_rate / 20, end), 0.2 * wav::peak(audio.mono, second, end));
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
