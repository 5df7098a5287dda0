// The synthesizer rendered into a WAV file in real time: a thread of its own
// renders whole blocks 100 ms behind the clock (a record handed over up to
// that late still lands in its own block) and appends them to the file. A
// write that fails is said once, in one line naming the file and the reason;
// the synthesizer plays on.
#pragma once

#include <fluidsynth.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/sound/wav_file.h"

namespace platform {

class SynthWavRenderer {
public:
    ~SynthWavRenderer() { finish(); }

    // Creates the file and starts rendering synth from the clock's now on.
    // false: errno says why.
    bool start(fluid_synth_t* synth, const char* path, double sample_rate);

    // The clock's frame at now_ns, counted from the file's first frame.
    int64_t clock_frame(int64_t now_ns) const;
    // Frames rendered so far.
    int64_t rendered() const { return rendered_.load(); }

    // The exit: the sound fades out over fade_frames from now on.
    void fade_out(int64_t now_ns, int64_t fade_frames);
    // The file ends: what the clock has reached is rendered (up to the
    // fade's end, if it began), and no more. The thread ends.
    void finish();

private:
    void render_loop();
    void render_until(int64_t until);

    fluid_synth_t* synth_ = nullptr;
    std::string path_;
    double rate_ = 44100;
    WavFile wav_;
    int64_t start_ns_ = 0;              // the clock at the file's first frame
    std::thread thread_;
    std::mutex lock_;                   // held while rendering and by finish()
    bool finished_ = false;             // lock_
    bool failure_said_ = false;         // lock_
    int64_t fade_from_ = -1;            // the exit fade's first frame; lock_
    int64_t fade_frames_ = 1;           // lock_
    std::vector<int16_t> out_;          // lock_
    std::atomic<int64_t> rendered_{0};  // written under lock_
};

}  // namespace platform
