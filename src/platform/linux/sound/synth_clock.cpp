// The synthesizer's clock: due times to blocks, the seam between passes, the
// queue of what waits for its block, and where the sound card is.
#include "platform/linux/sound/synth_clock.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

// A reset this close before the last record's due time still finds the
// stream played through: the stream and the device read the clock at its
// restart a moment apart.
constexpr double played_through_ms = 2.0;

}  // namespace

int64_t SynthClock::restart(double reachable, double elapsed) {
    reachable = std::max(reachable, 0.0);
    if (in_seam(elapsed) && reachable <= ended_at_ + reach_frames_)
        origin_ = ended_at_;
    else
        origin_ = std::ceil(reachable / double(synth_block_frames)) * double(synth_block_frames);
    timed_ = true;
    last_due_ = origin_;
    ended_at_ = -1;
    const int64_t first = int64_t(std::llround(origin_ / double(synth_block_frames)));
    // Kept in order: everything later than the new first block comes before
    // the new stream's records, in that block.
    for (SynthEvent& queued : queue_) {
        if (queued.block > first) {
            queued.block = first;
            queued.frame = origin_;
        }
    }
    return first;
}

void SynthClock::handed(double frame) {
    if (timed_) last_due_ = std::max(last_due_, frame);
}

void SynthClock::stop(double frame) {
    if (timed_ && frame >= last_due_ - played_through_ms / 1000.0 * rate_)
        ended_at_ = last_due_;
    else
        ended_at_ = -1;
    timed_ = false;
}

int64_t SynthClock::block_at(double frame, int64_t next_block) const {
    return std::max(int64_t(std::llround(frame / double(synth_block_frames))), next_block);
}

double SynthClock::now_frame(int64_t elapsed_us, double reachable) const {
    return timed_ ? frame_of(elapsed_us) : reachable;
}

int64_t SynthClock::held_block(double elapsed) const {
    if (timed_) return block_at(last_due_, 0);
    if (in_seam(elapsed)) return block_at(ended_at_, 0);
    return synth_unheld;
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
