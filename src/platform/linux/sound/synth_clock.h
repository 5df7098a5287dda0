// The synthesizer's clock: in which 64-frame block of the synthesizer's own
// 64-bit frame count each record, reset, volume and fade step takes effect,
// and the queue that holds them until their block is rendered. Pure
// arithmetic over frames and microseconds; the device (synth_device.cpp)
// renders the blocks and tells it where the rendering and the clock stand.
//
// A stream's timeline is anchored at its restart: to the first whole block
// the synthesizer can still reach, or, for the next pass of a stream that
// played through (a restart within the seam window after its end on that
// stream's own clock), to that stream's end exactly, so that passes join
// without a seam however late within the window the restart came. Each record then goes into the block nearest its due time on
// the timeline (the stream's exact microseconds, so tempo changes and SMPTE
// divisions need nothing here; a tempo set from outside applies to the
// records the stream hands over after it).
#pragma once

#include <time.h>

#include <cstdint>
#include <deque>
#include <limits>

#include "platform/linux/base/win_types.h"

namespace platform {

// CLOCK_MONOTONIC in nanoseconds: the clock the device and the WAV renderer
// both read (unless a test steps the device).
inline int64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The device renders in blocks of 64 frames (FluidSynth's own block) and
// applies what is due in a block before rendering it.
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

// No block holds the rendering back.
constexpr int64_t synth_unheld = std::numeric_limits<int64_t>::max();

class SynthClock {
public:
    // seam_frames: how late after a stream's end (on its own clock) a restart
    // continues its timeline (the device's latency). reach_frames: how far
    // past that end the synthesizer may reach at the restart for it still to
    // continue (an audio driver: the records of the new pass must still get
    // to their blocks).
    SynthClock(double sample_rate, double seam_frames, double reach_frames = no_limit)
        : rate_(sample_rate), seam_frames_(seam_frames), reach_frames_(reach_frames) {}
    static constexpr double no_limit = std::numeric_limits<double>::infinity();

    // midiStreamRestart, `elapsed` frames after the last restart by the
    // clock, when the synthesizer can still reach frame `reachable` (it has
    // not rendered it, and a record handed over now gets there in time): the
    // timeline's time 0 is the last stream's end when that stream played
    // through and the restart comes within the window, or else the first
    // whole block from `reachable`. What is still queued for after the
    // timeline's first block (the last stream's release, a new file's
    // defaults, a volume) moves to that block, ahead of the new records.
    // Returns the timeline's first block.
    int64_t restart(double reachable, double elapsed = no_limit);
    // A record due at `frame` was handed over: the stream has handed over
    // everything due before it.
    void handed(double frame);
    // midiOutReset at `frame` on the timeline: the timeline ends. When it
    // comes after everything the stream handed over, the stream played
    // through and a restart may continue its timeline.
    void stop(double frame);
    bool timed() const { return timed_; }

    // The frame of a due time on the timeline, and the block nearest it, but
    // never one before next_block (the first the synthesizer has not
    // rendered: a late record sounds as soon as it can).
    double frame_of(int64_t due_us) const { return origin_ + double(due_us) * rate_ / 1e6; }
    int64_t block_at(double frame, int64_t next_block) const;

    // The present moment's frame: elapsed_us into the timeline, or, without
    // one, the reachable frame.
    double now_frame(int64_t elapsed_us, double reachable) const;

    // The first block a rendering that must not depend on the machine may
    // not render yet, `elapsed` frames after the last restart by the clock:
    // while a stream runs, the block of the last record it handed over (a
    // later record may still go into it); within the seam window after a
    // stream played through, the block its end falls in; otherwise none
    // (synth_unheld).
    int64_t held_block(double elapsed) const;

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
    double seam_frames_;
    double reach_frames_;
    bool timed_ = false;
    double origin_ = 0;      // the timeline's time 0, in frames
    double last_due_ = 0;    // the last record handed over
    double ended_at_ = -1;   // the end of the last stream that played through; -1: none

    // Whether `elapsed` frames after the last restart are within the seam
    // window after its stream's end.
    bool in_seam(double elapsed) const { return ended_at_ >= 0 && elapsed - (ended_at_ - origin_) <= seam_frames_; }
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
