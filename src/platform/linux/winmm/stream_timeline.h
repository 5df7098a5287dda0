// The clock arithmetic of a MIDI stream: when each absolute tick is due, in
// microseconds since midiStreamRestart.
//
// The time of a tick is kept as an exact fraction: scaled_ = time × den_,
// where den_ is the ticks per quarter note (or the ticks per second of the
// SMPTE form) and each tick adds num_ (the tempo, or a second's microseconds).
// A due time is that fraction rounded down, so no rounding is ever carried
// from one record or one tempo change to the next, however long the stream.
#pragma once

#include <cstdint>

#include "platform/linux/base/win_types.h"

namespace platform {

class StreamTimeline {
public:
    static constexpr DWORD default_division = 24;  // a new stream's, as winmm's
    static constexpr DWORD default_tempo = 500000;  // microseconds per quarter note

    StreamTimeline() { rewind(); }

    // A new time division (any MIDIPROP_TIMEDIV value) from an absolute tick
    // on (the tick of the last record sent). Its low 16 bits time the ticks:
    // ticks per quarter note, or the SMPTE form, frames per second negated in
    // the high byte (-29 is 29.97) and ticks per frame in the low byte. A
    // division that gives ticks no length (0 ticks per quarter, 0 ticks per
    // frame) makes every tick due at once.
    void set_division(uint64_t tick, DWORD division);
    DWORD division() const { return division_; }

    // A tempo record (or MIDIPROP_TEMPO) at an absolute tick: ticks from there
    // on run at the new tempo. The SMPTE form ignores the tempo's rate but
    // still reports it.
    void set_tempo(uint64_t tick, DWORD microseconds_per_quarter);
    DWORD tempo() const { return tempo_; }

    // Back to tick 0 at time 0 with the default tempo; the division stays.
    void rewind();

    // Microseconds from restart at which the absolute tick is due; ticks
    // before the last tempo change are not asked for.
    int64_t due_us(uint64_t tick) const;

private:
    bool smpte() const { return (division_ & 0x8000) != 0; }
    void set_rate();
    void move_anchor(uint64_t tick);

    DWORD division_ = default_division;
    DWORD tempo_ = default_tempo;
    uint64_t anchor_tick_ = 0;        // the tick of the last change of rate
    unsigned __int128 scaled_ = 0;    // its time × den_
    uint64_t num_ = 1;                // scaled time per tick
    uint64_t den_ = 1;                // scaled time per microsecond
};

}  // namespace platform
