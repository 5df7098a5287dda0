// The synthesizer's clock: in which 64-frame block of the synthesizer's
// sample clock each record, reset, volume and fade step takes effect, and the
// queue that holds them until their block is rendered. Pure arithmetic over
// frames and microseconds; the device (synth_device.cpp) tells it where the
// rendering stands, reading the machine's clock with monotonic_ns.
//
// A stream's timeline is anchored once, at its restart, to the first whole
// block the synthesizer can still reach; each record then goes into the block
// nearest its due time on that timeline (the stream's exact microseconds, so
// tempo changes and SMPTE divisions need nothing here; a tempo set from
// outside applies to the records the stream hands over after it). Nothing carries over from one restart to the next: the delay from a
// due time to its sound is the same after any number of restarts.
#pragma once

#include <time.h>

#include <cstdint>
#include <deque>

#include "platform/linux/base/win_types.h"

namespace platform {

// CLOCK_MONOTONIC in nanoseconds: the clock the device and the WAV renderer
// both read.
inline int64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// FluidSynth renders in blocks of 64 frames and applies what is due at the
// start of a block.
constexpr int64_t synth_block_frames = 64;

// Something to apply at the start of a block.
struct SynthEvent {
    enum class Kind { message, release, defaults, gain, fade };
    int64_t block = 0;
    double frame = 0;  // its exact place, which a reset compares against
    Kind kind = Kind::message;
    DWORD word = 0;    // message: the record's dwEvent
    float gain = 0;    // gain: the gain; fade: how much of the sound is left
};

class SynthClock {
public:
    explicit SynthClock(double sample_rate) : rate_(sample_rate) {}

    // midiStreamRestart, when the synthesizer can still reach frame
    // `reachable` (it has not rendered it, and a record handed over now gets
    // there in time): the timeline's time 0 is the first whole block from
    // there. What is still queued for a later block (the last stream's
    // release, a volume) moves to that block, ahead of the new records.
    // Returns the timeline's first block.
    int64_t restart(double reachable);
    // midiOutReset: the timeline ends (until the next restart).
    void stop() { timed_ = false; }
    bool timed() const { return timed_; }

    // The frame of a due time on the timeline, and the block nearest it, but
    // never one before next_block (the first the synthesizer has not
    // rendered: a late record sounds as soon as it can).
    double frame_of(int64_t due_us) const;
    int64_t block_at(double frame, int64_t next_block) const;

    // The present moment's frame: elapsed_us into the timeline, or, without
    // one, the reachable frame.
    double now_frame(int64_t elapsed_us, double reachable) const;

    // The sequencer's time of a block: FluidSynth's sample timer counts whole
    // milliseconds from the synthesizer's first frame. Blocks are longer
    // than a millisecond up to 64 kHz, so each has a time of its own.
    unsigned block_ms(int64_t block) const;
    // The block whose time is ms (the first at or after it).
    int64_t block_of_ms(unsigned ms) const;
    // What a timer the sequencer fires at ms is for: the last block whose
    // time is ms. Above 64 kHz two blocks share a millisecond and the
    // sequencer fires both their timers in the first.
    int64_t block_of_timer(unsigned ms) const { return block_of_ms(ms + 1) - 1; }

    // The queue, in block order; events of one block in the order handed
    // over (a controller sequence such as an RPN keeps its order).
    void insert(const SynthEvent& event);
    // Drops what was due after `frame` (a reset's point on the timeline).
    void drop_after(double frame);
    // Takes the first event due by `block`; false when there is none.
    bool take_due(int64_t block, SynthEvent* event);
    const std::deque<SynthEvent>& queue() const { return queue_; }
    void clear() { queue_.clear(); }

private:
    double rate_;
    bool timed_ = false;
    int64_t origin_block_ = 0;
    std::deque<SynthEvent> queue_;
};

// Where the sound card is, in the synthesizer's frames, from watching the
// rendering against the monotonic clock. The driver renders ahead of the card
// by up to what it holds, so what has been rendered, less the clock's frames,
// saws between the card's offset and that offset plus the lead; its lowest
// point seen is the card's offset. The lowest point creeps up slowly (1 ms a
// second), so that a sound card clock running a little fast, or one dip of a
// late driver, is forgotten.
class SoundCardEstimate {
public:
    explicit SoundCardEstimate(double sample_rate) : rate_(sample_rate) {}
    // The synthesizer had rendered `rendered` frames at now_ns.
    void observe(double rendered, int64_t now_ns);
    // The card's frame at now_ns: never more than what has been seen rendered.
    double frame(int64_t now_ns) const;

private:
    double rate_;
    double offset_ = 0;        // the card's frame less the clock's
    int64_t observed_ns_ = 0;  // the last observation; 0: none yet
};

}  // namespace platform
