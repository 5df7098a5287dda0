// The synthesizer rendered into a WAV file by a thread of its own, behind the
// clock or a period ahead of it.
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

// How far the rendering behind the clock stays behind it at least.
constexpr double render_delay_ms = 100.0;
// The rendering behind the clock wakes up every so many frames (5.8 ms).
constexpr int64_t wake_frames = 4 * synth_block_frames;
// The thread's stack: rendering needs little, and a process under a memory
// limit may not have the default 8 MB to spare.
constexpr size_t thread_stack_bytes = 256 * 1024;

int16_t to_sample(float value) { return int16_t(std::lrint(std::clamp(value, -1.0f, 1.0f) * 32767.0f)); }

}  // namespace

bool SynthWavRenderer::start(SynthBlockSource* source, const char* path, double sample_rate, int64_t period_frames) {
    source_ = source;
    path_ = path;
    rate_ = sample_rate;
    period_ = period_frames;
    if (!wav_.open(path, uint32_t(std::lround(sample_rate)), 2)) return false;
    out_.reserve(size_t(std::max(wake_frames, period_frames) + synth_block_frames) * 2);
    start_ns_ = monotonic_ns();
    pthread_attr_t attributes;
    int failed = pthread_attr_init(&attributes);
    if (failed == 0) {
        pthread_attr_setstacksize(&attributes, thread_stack_bytes);
        failed = pthread_create(&thread_, &attributes, run, this);
        pthread_attr_destroy(&attributes);
    }
    if (failed != 0) {
        errno = failed;
        return false;
    }
    running_ = true;
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

// Renders whole blocks until `until` frames exist and appends them to the
// file, faded out from fade_from_ on. Called with lock_ held.
void SynthWavRenderer::render_until(int64_t until) {
    float left[synth_block_frames], right[synth_block_frames];
    out_.clear();
    int64_t rendered = rendered_.load();
    while (rendered < until) {
        std::fill(left, left + synth_block_frames, 0.0f);
        std::fill(right, right + synth_block_frames, 0.0f);
        source_->render(synth_block_frames, left, right);
        for (int64_t i = 0; i < synth_block_frames; ++i) {
            float level = 1.0f;
            if (fade_from_ >= 0)
                level = float(std::clamp(1.0 - double(rendered + i - fade_from_) / double(fade_frames_), 0.0, 1.0));
            out_.push_back(to_sample(left[i] * level));
            out_.push_back(to_sample(right[i] * level));
        }
        rendered += synth_block_frames;
        rendered_.store(rendered);
        if (out_.size() >= out_.capacity() - 2 * synth_block_frames) break;  // the rest at the next wake
    }
    if (out_.empty() || wav_.append(out_.data(), out_.size() / 2) || failure_said_) return;
    failure_said_ = true;
    write_line("smfstream: cannot write %s (%s); the rendering goes on without the file\n", path_.c_str(),
               strerror(wav_.error()));
}

void* SynthWavRenderer::run(void* self) {
    static_cast<SynthWavRenderer*>(self)->render_loop();
    return nullptr;
}

void SynthWavRenderer::render_loop() {
    const int64_t delay_frames = int64_t(render_delay_ms / 1000.0 * rate_);
    for (;;) {
        // Behind the clock: the next wake-up's worth once the clock is that
        // far on. Ahead: at the start of each period, that period.
        const int64_t rendered = rendered_.load();
        const int64_t wake_frame =
            period_ ? rendered / period_ * period_ : rendered + wake_frames + delay_frames;
        const int64_t wake_ns = start_ns_ + int64_t(double(wake_frame) * 1e9 / rate_);
        timespec at{time_t(wake_ns / 1000000000), long(wake_ns % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (finished_) return;
        const int64_t clock = clock_frame(monotonic_ns());
        if (period_)
            render_until((clock / period_ + 1) * period_);
        else
            render_until(std::min(clock - delay_frames, source_->renderable(clock)));
    }
}

void SynthWavRenderer::finish() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!finished_ && running_ && !period_) {
            int64_t until = clock_frame(monotonic_ns());
            if (fade_from_ >= 0) until = fade_from_ + fade_frames_;
            while (rendered_.load() < until) render_until(until);
        }
        finished_ = true;
    }
    if (running_) {
        pthread_join(thread_, nullptr);
        running_ = false;
    }
}

}  // namespace platform
