#include "platform/linux/synth_device.h"

#include <fluidsynth.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/layer_lines.h"
#include "platform/linux/short_message.h"
#include "platform/linux/sound_library_quiet.h"
#include "platform/linux/wav_file.h"

namespace platform {

float synth_gain(DWORD volume) { return synth_full_gain * float(volume & 0xFFFF) / 65535.0f; }

namespace {

constexpr int sample_rate = 44100;
// FluidSynth renders in blocks of 64 frames; an event takes effect at the
// start of a block, so it is applied at the block boundary nearest its time.
constexpr int64_t block_frames = 64;
// How far the WAV rendering stays behind the clock: an event handed over up
// to this late still lands at its due time in the audio.
constexpr int64_t render_delay_frames = sample_rate * 50 / 1000;
// The rendering wakes up every so many frames (5.8 ms).
constexpr int64_t wake_frames = 4 * block_frames;

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

// Every voice stops at once (no release), and no sustain pedal stays down.
// The pedals go up first: a pedal let up after the voices were stopped, in
// the same block, would let the held ones ring out their release.
void silence_synth(fluid_synth_t* synth) {
    for (int channel = 0; channel < 16; ++channel) fluid_synth_cc(synth, channel, 64, 0);
    fluid_synth_all_sounds_off(synth, -1);
}

void no_output(const char* why) {
    write_line("smfstream: no MIDI output: %s\n", why);
}

class SynthDevice final : public MidiDevice {
public:
    ~SynthDevice() override {
        if (driver_) delete_fluid_audio_driver(driver_);
        finish();
        if (synth_) delete_fluid_synth(synth_);
        if (settings_) delete_fluid_settings(settings_);
    }

    // Builds the synthesizer and loads the SoundFont; the output is started
    // by start_audio_driver() or start_rendering().
    bool create(const char* soundfont) {
        settings_ = new_fluid_settings();
        if (!settings_) return false;
        fluid_settings_setnum(settings_, "synth.sample-rate", sample_rate);
        fluid_settings_setnum(settings_, "synth.gain", gain_);
        // A reverb would ring on after midiOutReset; the chorus stops with the voices.
        fluid_settings_setint(settings_, "synth.reverb.active", 0);
        synth_ = new_fluid_synth(settings_);
        if (!synth_) return false;
        return fluid_is_soundfont(soundfont) && fluid_synth_sfload(synth_, soundfont, 1) != FLUID_FAILED;
    }

    bool start_audio_driver() {
        driver_ = new_fluid_audio_driver(settings_, synth_);
        return driver_ != nullptr;
    }

    std::string audio_driver_name() const {
        char* name = nullptr;
        std::string text = "default";
        if (fluid_settings_dupstr(settings_, "audio.driver", &name) == FLUID_OK && name) text = name;
        fluid_free(name);
        return text;
    }

    bool start_rendering(const char* path) {
        if (!wav_.open(path, sample_rate, 2)) return false;
        start_ns_ = monotonic_ns();
        render_thread_ = std::thread([this] { render_loop(); });
        return true;
    }

    void play(uint64_t, int64_t due_us, int64_t at_us, DWORD word) override {
        if (decode_short_message(word).kind == ShortMessage::Kind::none) return;
        if (driver_) {
            send_to_synth(synth_, word);
            return;
        }
        const int64_t now = monotonic_ns();
        int64_t due = now;
        // The record was due (at_us - due_us) ago; a lateness beyond reason
        // (a clock that is not ours) is ignored and the record sounds now.
        if (at_us - due_us >= 0 && at_us - due_us < 1000000) due = now - (at_us - due_us) * 1000;
        enqueue({frame_at(due), Pending::Kind::message, word, 0});
    }

    void reset() override { silence(); }

    void silence() override {
        if (driver_) {
            silence_synth(synth_);
            return;
        }
        enqueue({frame_at(monotonic_ns()), Pending::Kind::silence, 0, 0});
    }

    // The WAV file ends now: what was handed over until now is rendered, and
    // no more after (the header is valid already). The rendering thread ends
    // at its next wake-up, a few milliseconds away.
    void finish() override {
        if (!render_thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> hold(render_lock_);
            if (finished_) return;
            finished_ = true;
            render_until(frame_at(monotonic_ns()));
        }
        render_thread_.join();
    }

    MMRESULT set_volume(DWORD volume) override {
        const float gain = synth_gain(volume);
        if (driver_)
            fluid_synth_set_gain(synth_, gain);
        else
            enqueue({frame_at(monotonic_ns()), Pending::Kind::gain, 0, gain});
        return MMSYSERR_NOERROR;
    }

private:
    // Something handed over for the WAV rendering, at the frame where it
    // belongs in the audio.
    struct Pending {
        enum class Kind { message, silence, gain };
        int64_t frame;
        Kind kind;
        DWORD word;
        float gain;
    };

    int64_t frame_at(int64_t ns) const { return (ns - start_ns_) * sample_rate / 1000000000; }

    // Kept in time order; among equal times, in the order handed over.
    void enqueue(Pending pending) {
        std::lock_guard<std::mutex> hold(queue_lock_);
        auto later = std::upper_bound(queue_.begin(), queue_.end(), pending.frame,
                                      [](int64_t frame, const Pending& queued) { return frame < queued.frame; });
        queue_.insert(later, pending);
    }

    void apply(const Pending& pending) {
        switch (pending.kind) {
        case Pending::Kind::message: send_to_synth(synth_, pending.word); break;
        case Pending::Kind::silence: silence_synth(synth_); break;
        case Pending::Kind::gain: fluid_synth_set_gain(synth_, pending.gain); break;
        }
    }

    // Renders whole blocks until `until` frames exist, applying each pending
    // event at the block boundary nearest its frame, and appends them to the
    // file. Called with render_lock_ held.
    void render_until(int64_t until) {
        float left[block_frames], right[block_frames];
        out_.clear();
        while (rendered_ < until) {
            {
                std::lock_guard<std::mutex> hold(queue_lock_);
                size_t taken = 0;
                while (taken < queue_.size() && queue_[taken].frame < rendered_ + block_frames / 2) ++taken;
                due_now_.assign(queue_.begin(), queue_.begin() + ptrdiff_t(taken));
                queue_.erase(queue_.begin(), queue_.begin() + ptrdiff_t(taken));
            }
            for (const Pending& pending : due_now_) apply(pending);
            fluid_synth_write_float(synth_, block_frames, left, 0, 1, right, 0, 1);
            for (int64_t i = 0; i < block_frames; ++i) {
                out_.push_back(to_sample(left[i]));
                out_.push_back(to_sample(right[i]));
            }
            rendered_ += block_frames;
        }
        if (!out_.empty()) wav_.append(out_.data(), out_.size() / 2);
    }

    static int16_t to_sample(float value) {
        return int16_t(std::lrint(std::clamp(value, -1.0f, 1.0f) * 32767.0f));
    }

    // Keeps the rendering render_delay_frames behind the clock until finish().
    void render_loop() {
        int64_t rendered = 0;
        {
            std::lock_guard<std::mutex> hold(render_lock_);
            out_.reserve(size_t(wake_frames + block_frames) * 2);
        }
        for (;;) {
            const int64_t wake_ns = start_ns_ + (rendered + wake_frames + render_delay_frames) * 1000000000 / sample_rate;
            timespec at{time_t(wake_ns / 1000000000), long(wake_ns % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            std::lock_guard<std::mutex> hold(render_lock_);
            if (finished_) return;
            render_until(frame_at(monotonic_ns()) - render_delay_frames);
            rendered = rendered_;
        }
    }

    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    fluid_audio_driver_t* driver_ = nullptr;
    float gain_ = 0.2f;  // FluidSynth's own default until the first volume

    // WAV rendering.
    WavFile wav_;
    int64_t start_ns_ = 0;  // the clock at the file's first frame
    std::thread render_thread_;
    std::mutex queue_lock_;
    std::vector<Pending> queue_;      // guarded by queue_lock_
    std::mutex render_lock_;          // held while rendering and by finish()
    bool finished_ = false;           // guarded by render_lock_
    int64_t rendered_ = 0;            // frames in the file; render_lock_
    std::vector<Pending> due_now_;    // render_lock_
    std::vector<int16_t> out_;        // render_lock_
};

}  // namespace

MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error) {
    quiet_fluidsynth_library();
    quiet_alsa_library();
    *error = MMSYSERR_NODRIVER;
    const char* soundfont = getenv("SMFSTREAM_SOUNDFONT");
    if (!soundfont || !*soundfont) soundfont = default_soundfont;

    auto* device = new SynthDevice;
    std::string why;
    if (!device->create(soundfont)) {
        why = std::string("the software synthesizer cannot load the SoundFont ") + soundfont +
              "; install timgm6mb-soundfont or set SMFSTREAM_SOUNDFONT to a SoundFont (.sf2) file";
    } else if (wav_path.empty()) {
        if (!device->start_audio_driver())
            why = "no audio output works for the software synthesizer (FluidSynth's " + device->audio_driver_name() +
                  " driver failed); set SMFSTREAM_DEVICE=synth:FILE.wav to render into a WAV file instead";
    } else if (!device->start_rendering(wav_path.c_str())) {
        why = "cannot write " + wav_path + " (" + strerror(errno) +
              "); set SMFSTREAM_DEVICE=synth:FILE.wav with a file that can be written";
    }
    if (!why.empty()) {
        delete device;
        no_output(why.c_str());
        return nullptr;
    }
    *error = MMSYSERR_NOERROR;
    return device;
}

}  // namespace platform
