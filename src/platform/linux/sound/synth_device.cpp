#include "platform/linux/sound/synth_device.h"

#include <fluidsynth.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/linux/base/layer_lines.h"
#include "platform/linux/base/short_message.h"
#include "platform/linux/sound/sound_library_quiet.h"
#include "platform/linux/sound/wav_file.h"

namespace platform {

float synth_gain(DWORD volume) {
    const unsigned left = volume & 0xFFFF;
    if (left == 0) return 0.0f;
    return float(synth_full_gain * std::pow(10.0, volume_taper_db(left) / 20.0));
}

namespace {

// FluidSynth renders in blocks of 64 frames and applies what is due at the
// start of a block.
constexpr int64_t block_frames = 64;
// The latency beyond what the audio driver renders ahead: the player
// thread's wake-up lateness, and the rounding up to a block boundary.
constexpr double margin_ms = 5.0;
// At the exit the sound fades out over this long.
constexpr double fade_ms = 30.0;
// How far the WAV rendering stays behind the clock: a record handed over up
// to this late still lands in its own block in the file.
constexpr double render_delay_ms = 100.0;
// The WAV rendering wakes up every so many frames (5.8 ms).
constexpr int64_t wake_frames = 4 * block_frames;
// The audio drivers a desktop has, in the order they are tried when the
// settings name none.
constexpr const char* desktop_drivers[] = {"pipewire", "pulseaudio", "jack", "alsa"};

int64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void send_to_synth(fluid_synth_t* synth, DWORD word) {
    ShortMessage m = decode_short_message(word);
    using Kind = ShortMessage::Kind;
    switch (m.kind) {
    case Kind::none: break;
    case Kind::note_off: fluid_synth_noteoff(synth, m.channel, m.data1); break;
    case Kind::note_on:
        if (m.data2 == 0)
            fluid_synth_noteoff(synth, m.channel, m.data1);
        else
            fluid_synth_noteon(synth, m.channel, m.data1, m.data2);
        break;
    case Kind::key_pressure: fluid_synth_key_pressure(synth, m.channel, m.data1, m.data2); break;
    case Kind::control_change: fluid_synth_cc(synth, m.channel, m.data1, m.data2); break;
    case Kind::program_change: fluid_synth_program_change(synth, m.channel, m.data1); break;
    case Kind::channel_pressure: fluid_synth_channel_pressure(synth, m.channel, m.data1); break;
    case Kind::pitch_bend: fluid_synth_pitch_bend(synth, m.channel, m.bend); break;
    }
}

// midiOutReset: the pedals go up and every sounding note gets its note-off,
// so that each ends with its own release and the reverb rings out.
void release_notes(fluid_synth_t* synth) {
    for (int channel = 0; channel < 16; ++channel) {
        fluid_synth_cc(synth, channel, 64, 0);  // sustain
        fluid_synth_cc(synth, channel, 66, 0);  // sostenuto
    }
    fluid_synth_all_notes_off(synth, -1);
}

// A file starts on channels as General MIDI leaves them: controllers reset,
// pitch bend centred, volume, pan, the first bank and program. Notes still
// ringing out keep their release.
void channels_to_defaults(fluid_synth_t* synth) {
    for (int channel = 0; channel < 16; ++channel) {
        fluid_synth_cc(synth, channel, 121, 0);
        fluid_synth_pitch_bend(synth, channel, 8192);
        fluid_synth_cc(synth, channel, 7, 100);
        fluid_synth_cc(synth, channel, 10, 64);
        if (channel != 9) fluid_synth_bank_select(synth, channel, 0);
        fluid_synth_program_change(synth, channel, 0);
    }
}

void no_output(const std::string& why) {
    write_line("smfstream: no MIDI output: %s\n", why.c_str());
}

void settings_line(const std::string& what) {
    write_line("smfstream: SMFSTREAM_SYNTH_SETTINGS: %s; left out\n", what.c_str());
}

struct OptionSearch {
    const char* wanted;
    bool any = false;
    bool found = false;
};

void note_option(void* data, const char*, const char* option) {
    auto* search = static_cast<OptionSearch*>(data);
    search->any = true;
    if (strcmp(option, search->wanted) == 0) search->found = true;
}

bool has_option(fluid_settings_t* settings, const char* name, const char* value, bool* any) {
    OptionSearch search{value};
    fluid_settings_foreach_option(settings, name, &search, note_option);
    if (any) *any = search.any;
    return search.found;
}

bool parse_number(const std::string& text, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && errno == 0 && std::isfinite(*value);
}

bool parse_integer(fluid_settings_t* settings, const char* name, const std::string& text, int* value) {
    int hints = 0;
    fluid_settings_get_hints(settings, name, &hints);
    if (hints & FLUID_HINT_TOGGLED) {
        for (const char* yes : {"1", "yes", "true", "on"})
            if (text == yes) return *value = 1, true;
        for (const char* no : {"0", "no", "false", "off"})
            if (text == no) return *value = 0, true;
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long parsed = strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != '\0' || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    *value = int(parsed);
    return true;
}

// The number of ticks FluidSynth's own player has reached, in a block, on
// the way it counts them: whole milliseconds since it started (the sample
// timer's), divided by its float milliseconds per tick, plus one half.
struct PlayerClock {
    int64_t start_block = 0;  // the block of the last tempo change
    unsigned start_ms = 0;    // its time
    int64_t start_ticks = 0;  // the tick the player had reached there
    float ms_per_tick = 500000.0f / 96 / 1000.0f;
};

class SynthDevice final : public MidiDevice {
public:
    ~SynthDevice() override {
        finish();
        if (sequencer_) delete_fluid_sequencer(sequencer_);
        if (timer_) delete_fluid_event(timer_);
        if (synth_) delete_fluid_synth(synth_);
        if (settings_) delete_fluid_settings(settings_);
    }

    // Builds the synthesizer on the user's settings, loads the SoundFont and
    // starts the sequencer on the synthesizer's sample clock; the output is
    // started by start_audio_driver() or start_rendering().
    bool create(const char* soundfont, const char* user_settings, bool* driver_named) {
        settings_ = new_fluid_settings();
        if (!settings_) return false;
        fluid_settings_setnum(settings_, "synth.sample-rate", 44100);
        fluid_settings_setnum(settings_, "synth.gain", 0.2);  // FluidSynth's default, until the first volume
        *driver_named = false;
        if (user_settings) {
            for (const std::string& name : apply_synth_settings(settings_, user_settings)) {
                if (name == "audio.driver") *driver_named = true;
                if (name == "synth.gain") fluid_settings_getnum(settings_, "synth.gain", &full_gain_);
            }
        }
        fluid_settings_getnum(settings_, "synth.sample-rate", &sample_rate_);
        synth_ = new_fluid_synth(settings_);
        if (!synth_) return false;
        if (!fluid_is_soundfont(soundfont) || fluid_synth_sfload(synth_, soundfont, 1) == FLUID_FAILED) return false;
        // Registered before anything is rendered: the sequencer's clock
        // counts from the synthesizer's first frame.
        sequencer_ = new_fluid_sequencer2(0);
        if (!sequencer_) return false;
        if (fluid_sequencer_register_fluidsynth(sequencer_, synth_) == FLUID_FAILED) return false;
        client_ = fluid_sequencer_register_client(sequencer_, "smfstream", on_timer, this);
        if (client_ == FLUID_FAILED) return false;
        timer_ = new_fluid_event();
        if (!timer_) return false;
        fluid_event_set_source(timer_, -1);
        fluid_event_set_dest(timer_, client_);
        fluid_event_timer(timer_, nullptr);
        return true;
    }

    // Starts `name`, or FluidSynth's default when null.
    bool start_audio_driver(const char* name) {
        if (name) fluid_settings_setstr(settings_, "audio.driver", name);
        int period = 64, periods = 2;
        fluid_settings_getint(settings_, "audio.period-size", &period);
        fluid_settings_getint(settings_, "audio.periods", &periods);
        // Drivers that write into a buffer render as far ahead as the buffer
        // holds; those called back by the sound server one period.
        const std::string driver = audio_driver_name();
        const bool buffered = driver == "alsa" || driver == "oss" || driver == "pulseaudio";
        lead_frames_ = int64_t(period) * (buffered ? std::max(periods, 1) : 1);
        live_ = true;  // before the driver's thread starts
        driver_ = new_fluid_audio_driver(settings_, synth_);
        if (!driver_) live_ = false;
        return driver_ != nullptr;
    }

    bool driver_available(const char* name) const { return has_option(settings_, "audio.driver", name, nullptr); }

    std::string audio_driver_name() const {
        char* name = nullptr;
        std::string text = "default";
        if (fluid_settings_dupstr(settings_, "audio.driver", &name) == FLUID_OK && name) text = name;
        fluid_free(name);
        return text;
    }

    // Milliseconds from a record's due time to its sound leaving the synthesizer.
    double latency_ms() const {
        return live_ ? double(lead_frames_) * 1000.0 / sample_rate_ + margin_ms : 0.0;
    }

    bool start_rendering(const char* path) {
        if (!wav_.open(path, uint32_t(std::lround(sample_rate_)), 2)) return false;
        start_ns_ = monotonic_ns();
        render_thread_ = std::thread([this] { render_loop(); });
        return true;
    }

    void stream_opened() override { schedule_now(Scheduled::Kind::defaults, 0, 0); }

    void time_division(DWORD division) override {
        std::lock_guard<std::mutex> hold(queue_lock_);
        division_ = division;
        clock_.ms_per_tick = ms_per_tick(tempo_);
    }

    // The stream's time 0: the first block that every record can still
    // reach, however far ahead the driver renders, is the timeline's start.
    void restarted() override {
        const int64_t now = monotonic_ns();
        std::lock_guard<std::mutex> hold(queue_lock_);
        int64_t frames = rendered_block_estimate(now) * block_frames;
        if (live_) {
            frames = std::min(frames, sound_card_frame(now)) + lead_frames_ + extra_lead_frames_ +
                     int64_t((margin_ms / 1000.0) * sample_rate_) - block_frames;
        }
        origin_block_ = std::max((frames + block_frames - 1) / block_frames, last_marker_block_ + 1);
        origin_ns_ = now;
        timed_ = true;
        tempo_ = 500000;
        clock_ = PlayerClock{};
        clock_.ms_per_tick = ms_per_tick(tempo_);
    }

    void play(uint64_t tick, int64_t due_us, int64_t, DWORD word) override {
        unsigned at_ms;
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;  // the exit: nothing sounds any more
            if ((word >> 24) == MEVT_TEMPO) {
                if (timed_) tempo_change(tick, due_us, word & 0xFFFFFF);
                return;
            }
            if (decode_short_message(word).kind == ShortMessage::Kind::none) return;
            if (timed_) {
                const int64_t block = origin_block_ + block_for(tick, due_us);
                at_ms = block_ms(block);
                note_lateness(block);
            } else {
                at_ms = now_ms_locked(monotonic_ns());  // no timeline yet: at once
            }
            insert({at_ms, Scheduled::Kind::message, word, 0});
        }
        send_timer(at_ms);
    }

    // What was due before now still sounds; what is scheduled after now is
    // dropped, and at now's slot every note is released.
    void reset() override {
        unsigned at_ms;
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;
            at_ms = now_ms_locked(monotonic_ns());
            queue_.erase(std::upper_bound(queue_.begin(), queue_.end(), at_ms,
                                          [](unsigned ms, const Scheduled& s) { return ms < s.ms; }),
                         queue_.end());
            insert({at_ms, Scheduled::Kind::release, 0, 0});
        }
        send_timer(at_ms);
    }

    // The exit: the sound fades out over fade_ms, then every voice and the
    // effects stop.
    void silence() override {
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;
            silenced_ = true;
        }
        if (live_) {
            // The fade goes on the timeline after what was handed over, one
            // step a block, so that it is as smooth at any audio period.
            double reverb = 0.2, chorus = 2.0;
            fluid_settings_getnum(settings_, "synth.reverb.level", &reverb);
            fluid_settings_getnum(settings_, "synth.chorus.level", &chorus);
            const float gain = fluid_synth_get_gain(synth_);
            const int64_t steps = std::max<int64_t>(1, (fade_frames() + block_frames - 1) / block_frames);
            std::vector<unsigned> times;
            {
                std::lock_guard<std::mutex> hold(queue_lock_);
                fade_gain_ = gain;
                fade_reverb_ = reverb;
                fade_chorus_ = chorus;
                const int64_t first = block_of_ms(now_ms_locked(monotonic_ns()));
                for (int64_t step = 1; step <= steps; ++step) {
                    const unsigned at_ms = block_ms(first + step);
                    insert({at_ms, Scheduled::Kind::fade, 0, float(1.0 - double(step) / double(steps))});
                    times.push_back(at_ms);
                }
                last_marker_block_ = first + steps;
            }
            for (unsigned at_ms : times) send_timer(at_ms);
            // Until the fade has been rendered: it begins a latency ahead of
            // the clock, and the driver renders a lead at a time.
            const int64_t until = monotonic_ns() + int64_t((2 * latency_ms() + fade_ms + 10.0) * 1e6);
            while (monotonic_ns() < until) {
                {
                    std::lock_guard<std::mutex> hold(queue_lock_);
                    if (queue_.empty()) break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            {
                std::lock_guard<std::mutex> hold(queue_lock_);
                queue_.clear();
            }
            fluid_synth_all_sounds_off(synth_, -1);
            // What the driver rendered ahead goes out before the process ends.
            std::this_thread::sleep_for(std::chrono::microseconds(int64_t(latency_ms() * 1000)));
            return;
        }
        std::lock_guard<std::mutex> hold(render_lock_);
        if (fade_from_ < 0) fade_from_ = std::max(rendered_, frame_at(monotonic_ns()));
    }

    // The WAV file ends: what was handed over until now is rendered, faded
    // out if silence() came first, and no more after (the header is valid
    // already). The rendering thread ends at its next wake-up.
    void finish() override {
        // A driver that writes a file (FluidSynth's `file` driver) completes it.
        std::lock_guard<std::mutex> hold_driver(driver_lock_);
        if (driver_) {
            delete_fluid_audio_driver(driver_);
            driver_ = nullptr;
        }
        if (!render_thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> hold(render_lock_);
            if (!finished_) {
                int64_t until = frame_at(monotonic_ns());
                if (fade_from_ >= 0) until = fade_from_ + fade_frames();
                render_until(until);
                finished_ = true;
            }
        }
        render_thread_.join();
    }

    MMRESULT set_volume(DWORD volume) override {
        const float gain = float(full_gain_ / synth_full_gain) * synth_gain(volume);
        schedule_now(Scheduled::Kind::gain, 0, gain);
        return MMSYSERR_NOERROR;
    }

    fluid_synth_t* synth() const { return synth_; }

private:
    // Something to apply in the block whose time (the sequencer's, whole
    // milliseconds) reaches ms.
    struct Scheduled {
        enum class Kind { message, release, defaults, gain, fade };
        unsigned ms;
        Kind kind;
        DWORD word;
        float gain;
    };

    // The sequencer's time of a block: FluidSynth's sample timer counts whole
    // milliseconds from the synthesizer's first frame.
    unsigned block_ms(int64_t block) const {
        return unsigned(int64_t(1000.0 * double(block * block_frames) / sample_rate_));
    }
    // The time of a block of the stream's timeline as FluidSynth's own player
    // counts it, from the timeline's first block.
    unsigned player_ms(int64_t block) const { return block_ms(block); }

    float ms_per_tick(DWORD tempo) const {
        return float(tempo) / float(division_ & 0x7FFF ? division_ & 0x7FFF : 96) / 1000.0f;
    }

    int64_t player_ticks_at(int64_t block) const {
        return clock_.start_ticks +
               int64_t(int(double(player_ms(block) - clock_.start_ms) / double(clock_.ms_per_tick) + 0.5));
    }

    // The first block at whose time FluidSynth's player has reached the tick.
    int64_t player_block(uint64_t tick) const {
        const double ms = clock_.start_ms + (double(int64_t(tick) - clock_.start_ticks) - 0.5) * clock_.ms_per_tick;
        int64_t block = std::max(clock_.start_block, int64_t(ms * sample_rate_ / 1000.0 / block_frames) - 1);
        while (block > clock_.start_block && player_ticks_at(block - 1) >= int64_t(tick)) --block;
        while (player_ticks_at(block) < int64_t(tick)) ++block;
        return block;
    }

    // The first block at or after a time on the timeline.
    int64_t due_block(int64_t due_us) const {
        int64_t block = std::max<int64_t>(0, int64_t(double(due_us) * sample_rate_ / 1e6 / block_frames) - 1);
        while (int64_t(player_ms(block)) * 1000 < due_us) ++block;
        return block;
    }

    // The block, from the timeline's first, in which a record sounds: where
    // FluidSynth's own player would play its tick, or, for a time division
    // it does not count that way (SMPTE) or a tempo set from outside the
    // records, the first block at its due time.
    int64_t block_for(uint64_t tick, int64_t due_us) const {
        const int64_t by_time = due_block(due_us);
        if (division_ & 0x8000) return by_time;
        const int64_t by_tick = player_block(tick);
        const double apart_ms = std::fabs(double(player_ms(by_tick)) - double(due_us) / 1000.0);
        return apart_ms <= 5.0 + clock_.ms_per_tick ? by_tick : by_time;
    }

    // FluidSynth's player takes a new tempo in the block where it reaches the
    // tempo's tick, and counts on from there.
    void tempo_change(uint64_t tick, int64_t due_us, DWORD tempo) {
        if (tempo == 0) return;
        if (!(division_ & 0x8000)) {
            const int64_t block = block_for(tick, due_us);
            clock_.start_ticks = block == player_block(tick) ? player_ticks_at(block) : int64_t(tick);
            clock_.start_block = block;
            clock_.start_ms = player_ms(block);
        }
        tempo_ = tempo;
        clock_.ms_per_tick = ms_per_tick(tempo);
    }

    // Blocks the synthesizer has rendered (live: as its sequencer last saw
    // the clock) or will have rendered (WAV: the clock's frame) by now.
    // Called with queue_lock_ held.
    int64_t rendered_block_estimate(int64_t now_ns) {
        if (!live_) return (frame_at(now_ns) + block_frames - 1) / block_frames;
        const int64_t block = block_of_ms(fluid_sequencer_get_tick(sequencer_)) + 1;
        observe(block * block_frames, now_ns);
        return block;
    }

    int64_t block_of_ms(unsigned ms) const {
        int64_t block = int64_t(double(ms) * sample_rate_ / 1000.0 / block_frames);
        while (block > 0 && block_ms(block - 1) >= ms) --block;
        while (block_ms(block) < ms) ++block;
        return block;
    }

    // Where the sound card is, in the synthesizer's frames. The driver
    // renders ahead of it by up to what it holds (lead_frames_), so what
    // has been rendered, less the clock's frames, saws between the card's
    // offset and that offset plus the lead; its lowest point seen is the
    // card's offset. Never more than what has been rendered. The lowest
    // point creeps up slowly (1 ms a second), so that a sound card clock
    // running a little fast, or one dip of a late driver, is forgotten.
    // Called with queue_lock_ held.
    void observe(int64_t rendered, int64_t now_ns) {
        const double ahead = double(rendered) - double(now_ns) * sample_rate_ / 1e9;
        if (observed_ns_ == 0 || ahead < card_offset_) {
            card_offset_ = ahead;
        } else {
            const double creep = double(now_ns - observed_ns_) * sample_rate_ / 1e9 / 1000.0;
            card_offset_ += std::min(ahead - card_offset_, creep);
        }
        observed_ns_ = now_ns;
    }
    int64_t sound_card_frame(int64_t now_ns) const {
        return int64_t(std::ceil(double(now_ns) * sample_rate_ / 1e9 + card_offset_));
    }

    // The slot of the present moment: on the timeline of the last restart
    // (a reset lines up with the records before it), or the next block.
    unsigned now_ms_locked(int64_t now_ns) {
        int64_t block = rendered_block_estimate(now_ns);
        if (timed_) {
            const double frames = double(now_ns - origin_ns_) * sample_rate_ / 1e9;
            block = std::max(block, origin_block_ + int64_t(std::ceil(frames / block_frames)));
        }
        block = std::max(block, last_marker_block_);
        last_marker_block_ = block;
        return block_ms(block);
    }

    void schedule_now(Scheduled::Kind kind, DWORD word, float gain) {
        unsigned at_ms;
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;
            at_ms = now_ms_locked(monotonic_ns());
            insert({at_ms, kind, word, gain});
        }
        send_timer(at_ms);
    }

    // A record whose block was rendered already sounds in the next one; the
    // next restart leaves the driver that much more room.
    void note_lateness(int64_t block) {
        if (!live_) return;
        const int64_t behind = (rendered_block_estimate(monotonic_ns()) - block) * block_frames;
        const int64_t most = int64_t(0.1 * sample_rate_);
        if (behind > extra_lead_frames_) extra_lead_frames_ = std::min(behind, most);
    }

    // Kept in time order; among equal times, in the order handed over.
    void insert(const Scheduled& s) {
        auto later = std::upper_bound(queue_.begin(), queue_.end(), s.ms,
                                      [](unsigned ms, const Scheduled& queued) { return ms < queued.ms; });
        queue_.insert(later, s);
    }

    // Wakes the device in the block that reaches ms. Called without
    // queue_lock_: the sequencer holds its own lock while it calls on_timer.
    void send_timer(unsigned ms) {
        std::lock_guard<std::mutex> hold(timer_lock_);
        fluid_sequencer_send_at(sequencer_, timer_, ms, 1);
    }

    // In the synthesizer's rendering, at the start of a block: applies what
    // is due by the block's time.
    static void on_timer(unsigned int time, fluid_event_t* event, fluid_sequencer_t*, void* data) {
        if (fluid_event_get_type(event) != FLUID_SEQ_TIMER) return;
        auto* self = static_cast<SynthDevice*>(data);
        std::lock_guard<std::mutex> hold(self->queue_lock_);
        if (self->live_) self->observe(self->block_of_ms(time) * block_frames, monotonic_ns());
        while (!self->queue_.empty() && self->queue_.front().ms <= time) {
            const Scheduled s = self->queue_.front();
            self->queue_.pop_front();
            self->apply(s);
        }
    }

    void apply(const Scheduled& s) {
        switch (s.kind) {
        case Scheduled::Kind::message: send_to_synth(synth_, s.word); break;
        case Scheduled::Kind::release: release_notes(synth_); break;
        case Scheduled::Kind::defaults: channels_to_defaults(synth_); break;
        case Scheduled::Kind::gain: fluid_synth_set_gain(synth_, s.gain); break;
        case Scheduled::Kind::fade:  // s.gain: how much is left
            fluid_synth_set_gain(synth_, fade_gain_ * s.gain);
            fluid_synth_set_reverb_group_level(synth_, -1, fade_reverb_ * s.gain);
            fluid_synth_set_chorus_group_level(synth_, -1, fade_chorus_ * s.gain);
            break;
        }
    }

    int64_t frame_at(int64_t ns) const { return int64_t(double(ns - start_ns_) * sample_rate_ / 1e9); }
    int64_t fade_frames() const { return int64_t(fade_ms / 1000.0 * sample_rate_); }

    // Renders whole blocks until `until` frames exist (the sequencer applies
    // what is due in each) and appends them to the file, faded out from
    // fade_from_ on. Called with render_lock_ held.
    void render_until(int64_t until) {
        float left[block_frames], right[block_frames];
        out_.clear();
        while (rendered_ < until) {
            fluid_synth_write_float(synth_, block_frames, left, 0, 1, right, 0, 1);
            for (int64_t i = 0; i < block_frames; ++i) {
                float level = 1.0f;
                if (fade_from_ >= 0)
                    level = float(std::clamp(1.0 - double(rendered_ + i - fade_from_) / double(fade_frames()), 0.0, 1.0));
                out_.push_back(to_sample(left[i] * level));
                out_.push_back(to_sample(right[i] * level));
            }
            rendered_ += block_frames;
        }
        if (!out_.empty()) wav_.append(out_.data(), out_.size() / 2);
    }

    static int16_t to_sample(float value) {
        return int16_t(std::lrint(std::clamp(value, -1.0f, 1.0f) * 32767.0f));
    }

    // Keeps the rendering render_delay_ms behind the clock until finish().
    void render_loop() {
        const int64_t delay_frames = int64_t(render_delay_ms / 1000.0 * sample_rate_);
        int64_t rendered = 0;
        {
            std::lock_guard<std::mutex> hold(render_lock_);
            out_.reserve(size_t(wake_frames + block_frames) * 2);
        }
        for (;;) {
            const int64_t wake_ns =
                start_ns_ + int64_t(double(rendered + wake_frames + delay_frames) * 1e9 / sample_rate_);
            timespec at{time_t(wake_ns / 1000000000), long(wake_ns % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            std::lock_guard<std::mutex> hold(render_lock_);
            if (finished_) return;
            render_until(frame_at(monotonic_ns()) - delay_frames);
            rendered = rendered_;
        }
    }

    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    fluid_audio_driver_t* driver_ = nullptr;
    bool live_ = false;                   // an audio driver plays (or played, before finish())
    std::mutex driver_lock_;              // finish() against finish()
    fluid_sequencer_t* sequencer_ = nullptr;
    fluid_seq_id_t client_ = -1;
    double sample_rate_ = 44100;
    double full_gain_ = synth_full_gain;  // the gain at full volume
    int64_t lead_frames_ = 0;             // how far ahead the driver renders

    std::mutex timer_lock_;               // the one timer event, filled and sent
    fluid_event_t* timer_ = nullptr;

    std::mutex queue_lock_;
    // Guarded by queue_lock_:
    std::deque<Scheduled> queue_;
    bool timed_ = false;                  // a restart has set the timeline
    int64_t origin_block_ = 0;            // the timeline's first block
    int64_t origin_ns_ = 0;               // the clock at the restart
    int64_t last_marker_block_ = 0;       // the last reset's, volume's or open's block
    int64_t extra_lead_frames_ = 0;       // room added after a late record
    double card_offset_ = 0;              // the sound card's frame less the clock's (observe())
    int64_t observed_ns_ = 0;             // the last observation
    DWORD division_ = 96;
    DWORD tempo_ = 500000;
    PlayerClock clock_;
    bool silenced_ = false;
    float fade_gain_ = 0;                 // the exit fade's starting levels
    double fade_reverb_ = 0, fade_chorus_ = 0;

    // WAV rendering.
    WavFile wav_;
    int64_t start_ns_ = 0;  // the clock at the file's first frame
    std::thread render_thread_;
    std::mutex render_lock_;          // held while rendering and by finish()
    bool finished_ = false;           // guarded by render_lock_
    int64_t rendered_ = 0;            // frames in the file; render_lock_
    int64_t fade_from_ = -1;          // the exit fade's first frame; render_lock_
    std::vector<int16_t> out_;        // render_lock_
};

}  // namespace

int synth_active_voices(MidiDevice* device) {
    auto* synth = dynamic_cast<SynthDevice*>(device);
    return synth ? fluid_synth_get_active_voice_count(synth->synth()) : -1;
}

std::vector<std::string> apply_synth_settings(void* opaque, const char* text) {
    auto* settings = static_cast<fluid_settings_t*>(opaque);
    std::vector<std::string> applied;
    std::istringstream words(text ? text : "");
    std::string word;
    while (words >> word) {
        const size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0) {
            settings_line(word + " is not NAME=VALUE");
            continue;
        }
        const std::string name = word.substr(0, equals), value = word.substr(equals + 1);
        bool ok = false;
        switch (fluid_settings_get_type(settings, name.c_str())) {
        case FLUID_NO_TYPE:
            settings_line("FluidSynth has no setting " + name);
            continue;
        case FLUID_NUM_TYPE: {
            double number;
            ok = parse_number(value, &number) && fluid_settings_setnum(settings, name.c_str(), number) == FLUID_OK;
            break;
        }
        case FLUID_INT_TYPE: {
            int number;
            ok = parse_integer(settings, name.c_str(), value, &number) &&
                 fluid_settings_setint(settings, name.c_str(), number) == FLUID_OK;
            break;
        }
        case FLUID_STR_TYPE: {
            bool any = false;
            const bool listed = has_option(settings, name.c_str(), value.c_str(), &any);
            ok = (listed || !any) && fluid_settings_setstr(settings, name.c_str(), value.c_str()) == FLUID_OK;
            break;
        }
        default: break;
        }
        if (ok)
            applied.push_back(name);
        else
            settings_line(name + "=" + value + " is not a value FluidSynth takes");
    }
    return applied;
}

MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error) {
    quiet_fluidsynth_library();
    quiet_alsa_library();
    *error = MMSYSERR_NODRIVER;
    const char* soundfont = getenv("SMFSTREAM_SOUNDFONT");
    if (!soundfont || !*soundfont) soundfont = default_soundfont;

    auto* device = new SynthDevice;
    std::string why;
    bool driver_named = false;
    if (!device->create(soundfont, getenv("SMFSTREAM_SYNTH_SETTINGS"), &driver_named)) {
        why = std::string("the software synthesizer cannot load the SoundFont ") + soundfont +
              "; install timgm6mb-soundfont or set SMFSTREAM_SOUNDFONT to a SoundFont (.sf2) file";
    } else if (wav_path.empty()) {
        // A JACK server is used when one runs, never started for us.
        setenv("JACK_NO_START_SERVER", "1", 0);
        std::string tried;
        bool started = false;
        if (driver_named) {
            tried = device->audio_driver_name();
            started = device->start_audio_driver(nullptr);
        } else {
            for (const char* name : desktop_drivers) {
                if (!device->driver_available(name)) continue;
                tried += (tried.empty() ? "" : ", ") + std::string(name);
                if ((started = device->start_audio_driver(name))) break;
            }
            if (tried.empty()) {
                tried = device->audio_driver_name();
                started = device->start_audio_driver(nullptr);
            }
        }
        if (started) {
            write_line("smfstream: the software synthesizer plays through FluidSynth's %s driver, latency %.1f ms\n",
                       device->audio_driver_name().c_str(), device->latency_ms());
        } else {
            why = "no audio output works for the software synthesizer (FluidSynth's " +
                  (tried.empty() ? std::string("audio") : tried) +
                  " driver failed); set SMFSTREAM_DEVICE=synth:FILE.wav to render into a WAV file instead";
        }
    } else if (!device->start_rendering(wav_path.c_str())) {
        why = "cannot write " + wav_path + " (" + strerror(errno) +
              "); set SMFSTREAM_DEVICE=synth:FILE.wav with a file that can be written";
    }
    if (!why.empty()) {
        delete device;
        no_output(why);
        return nullptr;
    }
    *error = MMSYSERR_NOERROR;
    return device;
}

}  // namespace platform
