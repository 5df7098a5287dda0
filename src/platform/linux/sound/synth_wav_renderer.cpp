// The synthesizer rendered into a WAV file in real time, behind the clock.
#include "platform/linux/sound/synth_wav_renderer.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/linux/base/layer_lines.h"
#include "platform/linux/sound/synth_clock.h"

namespace platform {

namespace {

// How far the rendering stays behind the clock.
constexpr double render_delay_ms = 100.0;
// The rendering wakes up every so many frames (5.8 ms).
constexpr int64_t wake_frames = 4 * synth_block_frames;

int16_t to_sample(float value) { return int16_t(std::lrint(std::clamp(value, -1.0f, 1.0f) * 32767.0f)); }

}  // namespace

bool SynthWavRenderer::start(fluid_synth_t* synth, const char* path, double sample_rate) {
    synth_ = synth;
    path_ = path;
    rate_ = sample_rate;
    if (!wav_.open(path, uint32_t(std::lround(sample_rate)), 2)) return false;
    out_.reserve(size_t(wake_frames + synth_block_frames) * 2);
    start_ns_ = monotonic_ns();
    thread_ = std::thread([this] { render_loop(); });
    return true;
}

int64_t SynthWavRenderer::clock_frame(int64_t now_ns) const {
    return int64_t(double(now_ns - start_ns_) * rate_ / 1e9);
}

void SynthWavRenderer::fade_out(int64_t now_ns, int64_t fade_frames) {
    std::lock_guard<std::mutex> hold(lock_);
    if (fade_from_ >= 0) return;
    fade_from_ = std::max(rendered_.load(), clock_frame(now_ns));
    fade_frames_ = std::max<int64_t>(1, fade_frames);
}

// Renders whole blocks until `until` frames exist (the sequencer applies what
// is due in each) and appends them to the file, faded out from fade_from_ on.
// Called with lock_ held.
void SynthWavRenderer::render_until(int64_t until) {
    float left[synth_block_frames], right[synth_block_frames];
    out_.clear();
    int64_t rendered = rendered_.load();
    while (rendered < until) {
        fluid_synth_write_float(synth_, synth_block_frames, left, 0, 1, right, 0, 1);
        for (int64_t i = 0; i < synth_block_frames; ++i) {
            float level = 1.0f;
            if (fade_from_ >= 0)
                level = float(std::clamp(1.0 - double(rendered + i - fade_from_) / double(fade_frames_), 0.0, 1.0));
            out_.push_back(to_sample(left[i] * level));
            out_.push_back(to_sample(right[i] * level));
        }
        rendered += synth_block_frames;
        rendered_.store(rendered);
    }
    if (out_.empty() || wav_.append(out_.data(), out_.size() / 2) || failure_said_) return;
    failure_said_ = true;
    write_line("smfstream: cannot write %s (%s); the rendering goes on without the file\n", path_.c_str(),
               strerror(wav_.error()));
}

void SynthWavRenderer::render_loop() {
    const int64_t delay_frames = int64_t(render_delay_ms / 1000.0 * rate_);
    for (;;) {
        const int64_t wake_ns =
            start_ns_ + int64_t(double(rendered_.load() + wake_frames + delay_frames) * 1e9 / rate_);
        timespec at{time_t(wake_ns / 1000000000), long(wake_ns % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (finished_) return;
        render_until(clock_frame(monotonic_ns()) - delay_frames);
    }
}

void SynthWavRenderer::finish() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!finished_ && thread_.joinable()) {
            int64_t until = clock_frame(monotonic_ns());
            if (fade_from_ >= 0) until = fade_from_ + fade_frames_;
            render_until(until);
        }
        finished_ = true;
    }
    if (thread_.joinable()) thread_.join();
}

}  // namespace platform
