// The synthesizer rendered into a WAV file by a thread of its own, in one of
// two ways:
// - behind the clock (SMFSTREAM_DEVICE=synth:FILE.wav): whole blocks, at most
//   up to 100 ms behind the clock and never past what the device says a
//   running stream has handed over, so that the file is the same sample for
//   sample however late the machine hands records over (it falls behind the
//   clock and catches up);
// - period by period ahead of the clock, as a sound card would take them
//   (FluidSynth's `file` audio driver, which has no mode that lets the device
//   render its own blocks).
// A write that fails is said once, in one line naming the file and the
// reason; the synthesizer plays on.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/sound/wav_file.h"

namespace platform {

// What the renderer renders: the device's blocks.
class SynthBlockSource {
public:
    virtual ~SynthBlockSource() = default;
    // Renders `frames` more frames, added into left and right.
    virtual void render(int64_t frames, float* left, float* right) = 0;
    // How far (in frames from the file's first) a rendering behind the clock
    // may go now, when the clock is at clock_frame.
    virtual int64_t renderable(int64_t clock_frame) = 0;
};

class SynthWavRenderer {
public:
    ~SynthWavRenderer() { finish(); }

    // Creates the file and starts rendering source from the clock's now on:
    // behind the clock (period_frames 0) or a period ahead of it. false:
    // errno says why (ENOMEM or EAGAIN: the thread cannot start).
    bool start(SynthBlockSource* source, const char* path, double sample_rate, int64_t period_frames);

    // The clock's frame at now_ns, counted from the file's first frame.
    int64_t clock_frame(int64_t now_ns) const;

    // The exit: the sound fades out over fade_frames from the clock's now on
    // (or from what is rendered, when that is later).
    void fade_out(int64_t now_ns, int64_t fade_frames);
    // The file ends: behind the clock, what the clock has reached is
    // rendered (up to the fade's end, if it began), and no more. The thread
    // ends.
    void finish();

private:
    static void* run(void* self);
    void render_loop();
    void render_until(int64_t until);

    SynthBlockSource* source_ = nullptr;
    std::string path_;
    double rate_ = 44100;
    int64_t period_ = 0;                // 0: behind the clock
    WavFile wav_;
    int64_t start_ns_ = 0;              // the clock at the file's first frame
    pthread_t thread_{};
    bool running_ = false;              // the thread started and is not joined
    std::mutex lock_;                   // held while rendering and by finish()
    bool finished_ = false;             // lock_
    bool failure_said_ = false;         // lock_
    int64_t fade_from_ = -1;            // the exit fade's first frame; lock_
    int64_t fade_frames_ = 1;           // lock_
    std::vector<int16_t> out_;          // lock_
    std::atomic<int64_t> rendered_{0};  // written under lock_
};

}  // namespace platform
