#include "platform/linux/winmm/stream_timeline.h"

namespace platform {

namespace {

int8_t smpte_frames(DWORD division) { return static_cast<int8_t>((division >> 8) & 0xFF); }

}  // namespace

void StreamTimeline::set_rate() {
    uint64_t ticks = smpte() ? division_ & 0xFF : division_ & 0x7FFF;
    if (ticks == 0) {
        // Ticks of no length: everything from here on is due at once.
        num_ = 0;
        den_ = 1;
        return;
    }
    if (!smpte()) {
        num_ = tempo_;
        den_ = ticks;
        return;
    }
    uint64_t ticks_per_frame = ticks;
    int frames = -smpte_frames(division_);  // 1 to 128
    if (frames == 29) {
        // 29.97 frames per second: 30000 frames every 1001 seconds.
        num_ = 1001ull * 1000000ull;
        den_ = 30000ull * ticks_per_frame;
    } else {
        num_ = 1000000ull;
        den_ = uint64_t(frames) * ticks_per_frame;
    }
}

void StreamTimeline::move_anchor(uint64_t tick) {
    if (tick > anchor_tick_) {
        scaled_ += static_cast<unsigned __int128>(tick - anchor_tick_) * num_;
        anchor_tick_ = tick;
    }
}

void StreamTimeline::set_division(uint64_t tick, DWORD division) {
    // The time reached so far stays, now in microseconds times the new
    // denominator: exact when it was whole, otherwise rounded down once.
    move_anchor(tick);
    unsigned __int128 micros_times_old = scaled_;
    uint64_t old_den = den_;
    division_ = division;
    set_rate();
    scaled_ = micros_times_old * den_ / old_den;
}

void StreamTimeline::set_tempo(uint64_t tick, DWORD microseconds_per_quarter) {
    move_anchor(tick);
    tempo_ = microseconds_per_quarter;
    set_rate();
}

void StreamTimeline::rewind() {
    anchor_tick_ = 0;
    scaled_ = 0;
    tempo_ = default_tempo;
    set_rate();
}

int64_t StreamTimeline::due_us(uint64_t tick) const {
    unsigned __int128 scaled = scaled_;
    if (tick > anchor_tick_) scaled += static_cast<unsigned __int128>(tick - anchor_tick_) * num_;
    unsigned __int128 micros = scaled / den_;
    constexpr unsigned __int128 most = INT64_MAX;
    return micros > most ? INT64_MAX : static_cast<int64_t>(micros);
}

}  // namespace platform
