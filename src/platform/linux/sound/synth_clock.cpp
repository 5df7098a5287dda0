// The synthesizer's clock: due times to blocks, the queue of what waits for
// its block, and where the sound card is.
#include "platform/linux/sound/synth_clock.h"

#include <algorithm>
#include <cmath>

namespace platform {

int64_t SynthClock::restart(double reachable) {
    origin_block_ = int64_t(std::ceil(std::max(reachable, 0.0) / double(synth_block_frames)));
    timed_ = true;
    // Kept in order: everything later than the new first block comes before
    // the new stream's records, in that block.
    for (SynthEvent& queued : queue_) {
        if (queued.block > origin_block_) {
            queued.block = origin_block_;
            queued.frame = double(origin_block_ * synth_block_frames);
        }
    }
    return origin_block_;
}

double SynthClock::frame_of(int64_t due_us) const {
    return double(origin_block_ * synth_block_frames) + double(due_us) * rate_ / 1e6;
}

int64_t SynthClock::block_at(double frame, int64_t next_block) const {
    return std::max(int64_t(std::llround(frame / double(synth_block_frames))), next_block);
}

double SynthClock::now_frame(int64_t elapsed_us, double reachable) const {
    return timed_ ? frame_of(elapsed_us) : reachable;
}

unsigned SynthClock::block_ms(int64_t block) const {
    return unsigned(int64_t(1000.0 * double(block * synth_block_frames) / rate_));
}

int64_t SynthClock::block_of_ms(unsigned ms) const {
    int64_t block = int64_t(double(ms) * rate_ / 1000.0 / double(synth_block_frames));
    while (block > 0 && block_ms(block - 1) >= ms) --block;
    while (block_ms(block) < ms) ++block;
    return block;
}

void SynthClock::insert(const SynthEvent& event) {
    auto later = std::upper_bound(queue_.begin(), queue_.end(), event.block,
                                  [](int64_t block, const SynthEvent& queued) { return block < queued.block; });
    queue_.insert(later, event);
}

void SynthClock::drop_after(double frame) {
    std::erase_if(queue_, [frame](const SynthEvent& queued) { return queued.frame > frame; });
}

bool SynthClock::take_due(int64_t block, SynthEvent* event) {
    if (queue_.empty() || queue_.front().block > block) return false;
    *event = queue_.front();
    queue_.pop_front();
    return true;
}

void SoundCardEstimate::observe(double rendered, int64_t now_ns) {
    const double ahead = rendered - double(now_ns) * rate_ / 1e9;
    if (observed_ns_ == 0 || ahead < offset_) {
        offset_ = ahead;
    } else {
        const double creep = double(now_ns - observed_ns_) * rate_ / 1e9 / 1000.0;
        offset_ += std::min(ahead - offset_, creep);
    }
    observed_ns_ = now_ns;
}

double SoundCardEstimate::frame(int64_t now_ns) const { return std::ceil(double(now_ns) * rate_ / 1e9 + offset_); }

}  // namespace platform
