// The software synthesizer device: FluidSynth driven on its own sample clock,
// through an audio driver or into a WAV file.
#include "platform/linux/sound/synth_device.h"

#include <fluidsynth.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/base/layer_lines.h"
#include "platform/linux/base/short_message.h"
#include "platform/linux/sound/sound_library_quiet.h"
#include "platform/linux/sound/synth_clock.h"
#include "platform/linux/sound/synth_messages.h"
#include "platform/linux/sound/synth_wav_renderer.h"

namespace platform {

namespace {

constexpr int64_t block_frames = synth_block_frames;
// The latency beyond what the audio driver renders ahead: the time from a
// restart (or a header's return) to the stream handing the records over.
constexpr double margin_ms = 5.0;
// At the exit the sound fades out over this long.
constexpr double fade_ms = 30.0;
// The audio drivers a desktop has, in the order they are tried when the
// settings name none.
constexpr const char* desktop_drivers[] = {"pipewire", "pulseaudio", "jack", "alsa"};

void no_output(const std::string& why) {
    write_line("smfstream: no MIDI output: %s\n", why.c_str());
}

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
        clock_ = SynthClock(sample_rate_);
        card_ = SoundCardEstimate(sample_rate_);
        synth_ = new_fluid_synth(settings_);
        if (!synth_) return false;
        if (!fluid_is_soundfont(soundfont) || fluid_synth_sfload(synth_, soundfont, 1) == FLUID_FAILED) return false;
        // Registered before anything is rendered: the sequencer's clock
        // counts from the synthesizer's first frame. It only wakes the
        // device in the block that is due; the device's own queue keeps the
        // order of what is handed over (the sequencer's does not, within one
        // time).
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

    bool driver_available(const char* name) const { return synth_has_option(settings_, "audio.driver", name); }

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

    bool start_rendering(const char* path) { return renderer_.start(synth_, path, sample_rate_); }

    // The stream hands each record over as soon as it has it.
    Pacing pacing() const override { return Pacing::own_clock; }

    void stream_opened() override { schedule_now(SynthEvent::Kind::defaults, 0, 0); }

    // The stream's time 0: the first block that every record can still
    // reach, however far ahead the driver renders.
    void restarted() override {
        const int64_t now = monotonic_ns();
        int64_t block;
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;  // the exit's fade keeps its blocks
            block = clock_.restart(reachable_frame(now));
            origin_ns_ = now;
            if (clock_.queue().empty() || clock_.queue().back().block != block) return;
        }
        send_timer(block);
    }

    void play(uint64_t, int64_t due_us, int64_t, DWORD word) override {
        if ((word >> 24) != MEVT_SHORTMSG || decode_short_message(word).kind == ShortMessage::Kind::none) return;
        int64_t block;
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;  // the exit: nothing sounds any more
            const int64_t now = monotonic_ns();
            const double frame = clock_.timed() ? clock_.frame_of(due_us) : now_frame(now);
            block = clock_.block_at(frame, next_block(now));
            clock_.insert({block, frame, SynthEvent::Kind::message, word, 0});
            if (!needs_timer(block)) return;
        }
        send_timer(block);
    }

    // At the reset's own point on the timeline: what was due before it still
    // sounds, what was handed over for later is dropped, and every note is
    // released. The timeline ends there.
    void reset() override {
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;
            const int64_t now = monotonic_ns();
            const double frame = now_frame(now);
            clock_.drop_after(frame);
            clock_.insert({clock_.block_at(frame, next_block(now)), frame, SynthEvent::Kind::release, 0, 0});
            clock_.stop();
        }
        rearm();
    }

    // The exit: the sound fades out over fade_ms from the present moment
    // (what was handed over for later is dropped), then every voice and the
    // effects stop.
    void silence() override {
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;
            silenced_ = true;
            if (!live_) clock_.drop_after(now_frame(monotonic_ns()));
        }
        if (!live_) {
            renderer_.fade_out(monotonic_ns(), fade_frames());
            return;
        }
        // The fade goes on the timeline, one step a block, so that it is as
        // smooth at any audio period.
        double reverb = 0.2, chorus = 2.0;
        fluid_settings_getnum(settings_, "synth.reverb.level", &reverb);
        fluid_settings_getnum(settings_, "synth.chorus.level", &chorus);
        const float gain = fluid_synth_get_gain(synth_);
        const int64_t steps = std::max<int64_t>(1, (fade_frames() + block_frames - 1) / block_frames);
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            fade_gain_ = gain;
            fade_reverb_ = reverb;
            fade_chorus_ = chorus;
            const int64_t now = monotonic_ns();
            const double frame = now_frame(now);
            clock_.drop_after(frame);
            const int64_t first = clock_.block_at(frame, next_block(now));
            for (int64_t step = 1; step <= steps; ++step) {
                const float left = float(1.0 - double(step) / double(steps));
                clock_.insert({first + step, frame, SynthEvent::Kind::fade, 0, left});
            }
        }
        rearm();
        // Until the fade has been rendered: it begins a latency ahead of the
        // clock, and the driver renders a lead at a time.
        const int64_t until = monotonic_ns() + int64_t((2 * latency_ms() + fade_ms + 10.0) * 1e6);
        while (monotonic_ns() < until) {
            {
                std::lock_guard<std::mutex> hold(queue_lock_);
                if (clock_.queue().empty()) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            clock_.clear();
        }
        fluid_synth_all_sounds_off(synth_, -1);
        // What the driver rendered ahead goes out before the process ends.
        std::this_thread::sleep_for(std::chrono::microseconds(int64_t(latency_ms() * 1000)));
    }

    // The output is made complete: a driver that writes a file (FluidSynth's
    // `file` driver) closes it; the WAV file ends with what was handed over
    // until now, faded out if silence() came first.
    void finish() override {
        std::lock_guard<std::mutex> hold_driver(driver_lock_);
        if (driver_) {
            delete_fluid_audio_driver(driver_);
            driver_ = nullptr;
        }
        renderer_.finish();
    }

    MMRESULT set_volume(DWORD volume) override {
        const float gain = float(full_gain_ / synth_full_gain) * synth_gain(volume);
        schedule_now(SynthEvent::Kind::gain, 0, gain);
        return MMSYSERR_NOERROR;
    }

    fluid_synth_t* synth() const { return synth_; }

private:
    // The first frame the synthesizer can still reach now: the sound card's
    // place plus what the driver renders ahead and the margin, or, into a
    // WAV file, the clock's frame (the rendering follows 100 ms behind).
    // Called with queue_lock_ held.
    double reachable_frame(int64_t now_ns) {
        if (!live_) return double(renderer_.clock_frame(now_ns));
        const int64_t rendered = next_block(now_ns) * block_frames;
        return std::min(double(rendered), card_.frame(now_ns)) + double(lead_frames_) +
               margin_ms / 1000.0 * sample_rate_;
    }

    // The first block the synthesizer has not rendered (live: as its
    // sequencer last saw the clock). Called with queue_lock_ held.
    int64_t next_block(int64_t now_ns) {
        if (!live_) return renderer_.rendered() / block_frames + 1;
        const int64_t block = clock_.block_of_ms(fluid_sequencer_get_tick(sequencer_)) + 1;
        card_.observe(double(block * block_frames), now_ns);
        return block;
    }

    // The present moment on the timeline, or the reachable frame without one.
    double now_frame(int64_t now_ns) {
        return clock_.now_frame((now_ns - origin_ns_) / 1000, reachable_frame(now_ns));
    }

    void schedule_now(SynthEvent::Kind kind, DWORD word, float gain) {
        int64_t block;
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;
            const int64_t now = monotonic_ns();
            const double frame = now_frame(now);
            block = clock_.block_at(frame, next_block(now));
            clock_.insert({block, frame, kind, word, gain});
            if (!needs_timer(block)) return;
        }
        send_timer(block);
    }

    // Whether the block needs a timer of its own: not when one is waiting
    // for it already. Called with queue_lock_ held.
    bool needs_timer(int64_t block) {
        if (block == armed_block_ && block > processed_block_) return false;
        armed_block_ = block;
        return true;
    }

    // Wakes the device in the block, at the start of its rendering. Called
    // without queue_lock_: the sequencer holds its own lock while it calls
    // on_timer.
    void send_timer(int64_t block) {
        std::lock_guard<std::mutex> hold(timer_lock_);
        fluid_sequencer_send_at(sequencer_, timer_, clock_.block_ms(block), 1);
    }

    // After a reset: the timers of what was dropped go too, so that the
    // sequencer's queue holds one timer for each block that has something.
    void rearm() {
        {
            std::lock_guard<std::mutex> hold(timer_lock_);
            fluid_sequencer_remove_events(sequencer_, -1, client_, FLUID_SEQ_TIMER);
        }
        std::vector<int64_t> blocks;
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            for (const SynthEvent& queued : clock_.queue())
                if (blocks.empty() || blocks.back() != queued.block) blocks.push_back(queued.block);
            armed_block_ = blocks.empty() ? -1 : blocks.back();
        }
        for (int64_t block : blocks) send_timer(block);
    }

    // In the synthesizer's rendering, at the start of a block: applies what
    // is due by the block.
    static void on_timer(unsigned int time, fluid_event_t* event, fluid_sequencer_t*, void* data) {
        if (fluid_event_get_type(event) != FLUID_SEQ_TIMER) return;
        auto* self = static_cast<SynthDevice*>(data);
        std::lock_guard<std::mutex> hold(self->queue_lock_);
        const int64_t block = self->clock_.block_of_timer(time);
        self->processed_block_ = std::max(self->processed_block_, block);
        if (self->live_) self->card_.observe(double(block * block_frames), monotonic_ns());
        SynthEvent due;
        while (self->clock_.take_due(block, &due)) self->apply(due);
    }

    void apply(const SynthEvent& s) {
        switch (s.kind) {
        case SynthEvent::Kind::message: send_to_synth(synth_, s.word); break;
        case SynthEvent::Kind::release: release_notes(synth_); break;
        case SynthEvent::Kind::defaults: channels_to_defaults(synth_); break;
        case SynthEvent::Kind::gain: fluid_synth_set_gain(synth_, s.gain); break;
        case SynthEvent::Kind::fade:  // s.gain: how much is left
            fluid_synth_set_gain(synth_, fade_gain_ * s.gain);
            fluid_synth_set_reverb_group_level(synth_, -1, fade_reverb_ * s.gain);
            fluid_synth_set_chorus_group_level(synth_, -1, fade_chorus_ * s.gain);
            break;
        }
    }

    int64_t fade_frames() const { return int64_t(fade_ms / 1000.0 * sample_rate_); }

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
    SynthClock clock_{44100};
    int64_t origin_ns_ = 0;               // the clock at the last restart
    int64_t armed_block_ = -1;            // the last block a timer was sent for
    int64_t processed_block_ = -1;        // the last block a timer woke the device in
    SoundCardEstimate card_{44100};
    bool silenced_ = false;
    float fade_gain_ = 0;                 // the exit fade's starting levels
    double fade_reverb_ = 0, fade_chorus_ = 0;

    SynthWavRenderer renderer_;
};

}  // namespace

int synth_active_voices(MidiDevice* device) {
    auto* synth = dynamic_cast<SynthDevice*>(device);
    return synth ? fluid_synth_get_active_voice_count(synth->synth()) : -1;
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
