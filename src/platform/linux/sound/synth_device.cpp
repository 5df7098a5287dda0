// The software synthesizer device: FluidSynth rendered block by block by the
// device itself, through an audio driver or into a WAV file.
#include "platform/linux/sound/synth_device.h"

#include <dlfcn.h>
#include <fluidsynth.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

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
// Into a WAV file, how soon after a stream's end a restart continues its
// timeline (the rendering waits that long for it).
constexpr double wav_seam_ms = 100.0;
// At the exit the sound fades out over this long.
constexpr double fade_ms = 30.0;
// The most output buffers an audio driver's callback is rendered into.
constexpr int max_outputs = 16;
// The audio drivers a desktop has, in the order they are tried when the
// settings name none.
constexpr const char* desktop_drivers[] = {"pipewire", "pulseaudio", "jack", "alsa"};

const char* const no_memory_why = "the software synthesizer cannot start: out of memory";

void no_output(const std::string& why) {
    write_line("smfstream: no MIDI output: %s\n", why.c_str());
}

// FluidSynth loads a SoundFont's samples on as many threads as OpenMP has
// cores for, and OpenMP ends the process when it cannot start them (under a
// memory limit): one thread will do.
void one_loading_thread() {
    using SetThreads = void (*)(int);
    if (auto set = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "omp_set_num_threads"))) set(1);
}

// Whether the address space has room for the synthesizer and a SoundFont of
// `soundfont_bytes`: FluidSynth does not survive every allocation that fails
// while it loads one (under a memory limit), so it is not asked to without
// room to spare for the samples, its buffers and a thread's allocations.
bool room_for_synth(int64_t soundfont_bytes) {
    constexpr int64_t spare = 64ll << 20;
    const size_t bytes = size_t(2 * soundfont_bytes + spare);
    void* probe = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return false;
    munmap(probe, bytes);
    return true;
}

class SynthDevice final : public MidiDevice, SynthBlockSource {
public:
    enum class Output { stepped, wav, driver, file_driver };

    explicit SynthDevice(Output output) : output_(output) {}

    ~SynthDevice() override {
        finish();
        if (synth_) delete_fluid_synth(synth_);
        if (settings_) delete_fluid_settings(settings_);
    }

    // Builds the synthesizer on the user's settings and loads the SoundFont;
    // the output is started by start_audio_driver() or start_rendering().
    // false: *why says why.
    bool create(const char* soundfont, const char* user_settings, bool* driver_named, std::string* why) {
        *why = no_memory_why;
        struct stat file{};
        if (stat(soundfont, &file) == 0 && !room_for_synth(file.st_size)) return false;
        settings_ = new_fluid_settings();
        if (!settings_) return false;
        fluid_settings_setnum(settings_, "synth.sample-rate", 44100);
        fluid_settings_setnum(settings_, "synth.gain", 0.2);  // FluidSynth's default, until the first volume
        fluid_settings_setint(settings_, "synth.cpu-cores", 1);  // no worker threads
        *driver_named = false;
        if (user_settings) {
            for (const std::string& name : apply_synth_settings(settings_, user_settings)) {
                if (name == "audio.driver") *driver_named = true;
                if (name == "synth.gain") fluid_settings_getnum(settings_, "synth.gain", &full_gain_);
            }
        }
        fluid_settings_getnum(settings_, "synth.sample-rate", &sample_rate_);
        card_ = SoundCardEstimate(sample_rate_);
        synth_ = new_fluid_synth(settings_);
        if (!synth_) return false;
        const bool is_soundfont = fluid_is_soundfont(soundfont);
        one_loading_thread();
        errno = 0;
        if (is_soundfont && fluid_synth_sfload(synth_, soundfont, 1) != FLUID_FAILED) return true;
        if (!is_soundfont || errno != ENOMEM)
            *why = std::string("the software synthesizer cannot load the SoundFont ") + soundfont +
                   "; install timgm6mb-soundfont or set SMFSTREAM_SOUNDFONT to a SoundFont (.sf2) file";
        return false;
    }

    // Starts `name`, or FluidSynth's default when null. FluidSynth's `file`
    // driver cannot let the device render its blocks: the device writes that
    // file itself, period by period in real time, as the driver would.
    bool start_audio_driver(const char* name) {
        if (name) fluid_settings_setstr(settings_, "audio.driver", name);
        int period = 64, periods = 2;
        fluid_settings_getint(settings_, "audio.period-size", &period);
        fluid_settings_getint(settings_, "audio.periods", &periods);
        // Drivers that write into a buffer render as far ahead as the buffer
        // holds; those called back by the sound server, and the file, one
        // period.
        const std::string driver = audio_driver_name();
        const bool buffered = driver == "alsa" || driver == "oss" || driver == "pulseaudio";
        lead_frames_ = int64_t(std::max(period, 1)) * (buffered ? std::max(periods, 1) : 1);
        set_clock();
        if (driver == "file") {
            output_ = Output::file_driver;
            char* path = nullptr;
            std::string file = "fluidsynth.wav";
            if (fluid_settings_dupstr(settings_, "audio.file.name", &path) == FLUID_OK && path) file = path;
            fluid_free(path);
            if (renderer_.start(this, file.c_str(), sample_rate_, std::max(period, 1))) return true;
            out_of_memory_ = errno == ENOMEM || errno == EAGAIN;
            return false;
        }
        output_ = Output::driver;
        driver_ = new_fluid_audio_driver2(settings_, on_audio, this);
        return driver_ != nullptr;
    }

    // The last start failed for want of memory or threads.
    bool out_of_memory() const { return out_of_memory_; }

    bool driver_available(const char* name) const { return synth_has_option(settings_, "audio.driver", name); }

    std::string audio_driver_name() const {
        char* name = nullptr;
        std::string text = "default";
        if (fluid_settings_dupstr(settings_, "audio.driver", &name) == FLUID_OK && name) text = name;
        fluid_free(name);
        return text;
    }

    // Milliseconds from a record's due time to its sound leaving the
    // synthesizer (the block nearest the due time starts within half a
    // block of it).
    double latency_ms() const { return live() ? latency_frames() * 1000.0 / sample_rate_ : 0.0; }

    bool start_rendering(const char* path) {
        set_clock();
        return renderer_.start(this, path, sample_rate_, 0);
    }

    void start_stepped(int64_t first_frame) {
        first_frame_ = first_frame;
        frame_.store(first_frame);
        next_block_ = first_frame / block_frames;
        set_clock();
    }

    // The stream hands each record over as soon as it has it.
    Pacing pacing() const override { return Pacing::own_clock; }

    void stream_opened() override { schedule_now(SynthEvent::Kind::defaults, 0, 0); }

    // The stream's time 0: the first block that every record can still
    // reach, however far ahead the driver renders; or the end of the stream
    // that played through just before.
    void restarted() override {
        std::lock_guard<std::mutex> hold(queue_lock_);
        if (silenced_) return;  // the exit's fade keeps its blocks
        const int64_t now = now_ns();
        clock_.restart(reachable_frame(now), elapsed_frames(now));
        origin_ns_ = now;
    }

    void play(uint64_t, int64_t due_us, int64_t, DWORD word) override {
        std::lock_guard<std::mutex> hold(queue_lock_);
        if (silenced_) return;  // the exit: nothing sounds any more
        const int64_t now = now_ns();
        const double frame = clock_.timed() ? clock_.frame_of(due_us) : now_frame(now);
        clock_.handed(frame);
        if ((word >> 24) != MEVT_SHORTMSG || decode_short_message(word).kind == ShortMessage::Kind::none) return;
        clock_.insert({clock_.block_at(frame, next_block_), frame, SynthEvent::Kind::message, word, 0});
    }

    // At the reset's own point on the timeline: what was due before it still
    // sounds, what was handed over for later is dropped, and every note is
    // released. The timeline ends there.
    void reset() override {
        std::lock_guard<std::mutex> hold(queue_lock_);
        if (silenced_) return;
        const double frame = now_frame(now_ns());
        clock_.drop_after(frame);
        clock_.insert({clock_.block_at(frame, next_block_), frame, SynthEvent::Kind::release, 0, 0});
        clock_.stop(frame);
    }

    // The exit: the sound fades out over fade_ms from the present moment
    // (what was handed over for later is dropped), then every voice and the
    // effects stop.
    void silence() override {
        {
            std::lock_guard<std::mutex> hold(queue_lock_);
            if (silenced_) return;
            silenced_ = true;
            if (!live()) clock_.drop_after(now_frame(now_ns()));
        }
        if (output_ == Output::stepped) return;
        if (!live()) {
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
            const double frame = now_frame(monotonic_ns());
            clock_.drop_after(frame);
            const int64_t first = clock_.block_at(frame, next_block_);
            for (int64_t step = 1; step <= steps; ++step) {
                const float left = float(1.0 - double(step) / double(steps));
                clock_.insert({first + step, frame, SynthEvent::Kind::fade, 0, left});
            }
        }
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

    // The output is made complete: the audio driver stops; the WAV file ends
    // with what was handed over until now, faded out if silence() came
    // first.
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

    // The render loop: block by block, what is due in a block is applied
    // before the block is rendered (reverb and chorus mixed into the
    // outputs). Rendering may stop and go on within a block.
    void render_into(int64_t frames, int outputs, float** out) {
        float* at[max_outputs];
        int64_t done = 0;
        while (done < frames) {
            const int64_t frame = frame_.load(std::memory_order_relaxed);
            if (frame % block_frames == 0) apply_due(frame / block_frames);
            const int64_t part = std::min(frames - done, block_frames - frame % block_frames);
            for (int i = 0; i < outputs; ++i) at[i] = out[i] + done;
            fluid_synth_process(synth_, int(part), 2, at, outputs, at);
            done += part;
            frame_.store(frame + part);
        }
    }

    // SynthBlockSource: the WAV renderer's.
    void render(int64_t frames, float* left, float* right) override {
        float* out[2] = {left, right};
        render_into(frames, 2, out);
    }
    int64_t renderable(int64_t) override {
        std::lock_guard<std::mutex> hold(queue_lock_);
        const int64_t held = clock_.held_block(elapsed_frames(now_ns()));
        return held == synth_unheld ? held : held * block_frames;
    }

    fluid_synth_t* synth() const { return synth_; }

private:
    bool live() const { return output_ == Output::driver || output_ == Output::file_driver; }

    // How far ahead of the present a record must be handed over: what the
    // driver renders ahead and the margin; into a WAV file, the time the
    // rendering waits for the next pass.
    double latency_frames() const {
        if (output_ == Output::wav) return wav_seam_ms / 1000.0 * sample_rate_;
        return double(live() ? lead_frames_ : 0) + margin_ms / 1000.0 * sample_rate_;
    }

    // An audio driver continues a timeline only while the next pass's
    // records still reach their blocks (the margin); the WAV rendering and a
    // stepped device wait for them.
    void set_clock() {
        const double reach = live() ? margin_ms / 1000.0 * sample_rate_ : SynthClock::no_limit;
        clock_ = SynthClock(sample_rate_, latency_frames(), reach);
    }

    // Frames by the clock since the last restart.
    double elapsed_frames(int64_t now_ns) const { return double(now_ns - origin_ns_) * sample_rate_ / 1e9; }

    // The clock: the machine's, or for a stepped device the frames rendered.
    int64_t now_ns() const {
        if (output_ != Output::stepped) return monotonic_ns();
        return int64_t(double(frame_.load()) * 1e9 / sample_rate_);
    }

    // The first frame the synthesizer can still reach now: the sound card's
    // place plus what the driver renders ahead and the margin; into a WAV
    // file, the clock's frame (the rendering follows behind); stepped, the
    // next block. Called with queue_lock_ held.
    double reachable_frame(int64_t now_ns) {
        switch (output_) {
        case Output::stepped: return double(next_block_ * block_frames);
        case Output::wav: return double(renderer_.clock_frame(now_ns));
        default:
            return std::min(double(next_block_ * block_frames), card_.frame(now_ns)) + latency_frames();
        }
    }

    // The present moment on the timeline, or the reachable frame without one.
    // Called with queue_lock_ held.
    double now_frame(int64_t now_ns) {
        return clock_.now_frame((now_ns - origin_ns_) / 1000, reachable_frame(now_ns));
    }

    void schedule_now(SynthEvent::Kind kind, DWORD word, float gain) {
        std::lock_guard<std::mutex> hold(queue_lock_);
        if (silenced_) return;
        const double frame = now_frame(now_ns());
        clock_.insert({clock_.block_at(frame, next_block_), frame, kind, word, gain});
    }

    // In the render loop, at the start of a block.
    void apply_due(int64_t block) {
        std::lock_guard<std::mutex> hold(queue_lock_);
        next_block_ = block + 1;
        SynthEvent due;
        while (clock_.take_due(block, &due)) apply(due);
    }

    // The audio driver's callback: the outputs it gives are rendered into
    // (reverb and chorus mixed in), and the card's place is learnt.
    static int on_audio(void* data, int len, int, float**, int outputs, float** out) {
        auto* self = static_cast<SynthDevice*>(data);
        outputs = std::min(outputs, max_outputs) & ~1;
        if (len <= 0 || outputs < 2) return FLUID_OK;
        for (int i = 0; i < outputs; ++i) std::fill(out[i], out[i] + len, 0.0f);
        self->render_into(len, outputs, out);
        std::lock_guard<std::mutex> hold(self->queue_lock_);
        self->card_.observe(double(self->frame_.load()), monotonic_ns());
        return FLUID_OK;
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

    Output output_;
    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    fluid_audio_driver_t* driver_ = nullptr;
    std::mutex driver_lock_;              // finish() against finish()
    double sample_rate_ = 44100;
    double full_gain_ = synth_full_gain;  // the gain at full volume
    int64_t lead_frames_ = 0;             // how far ahead the driver renders
    bool out_of_memory_ = false;
    int64_t first_frame_ = 0;
    std::atomic<int64_t> frame_{0};       // the frames rendered, ours; written by the render loop

    std::mutex queue_lock_;
    // Guarded by queue_lock_:
    SynthClock clock_{44100, 0};
    int64_t next_block_ = 0;              // the first block whose events are not applied yet
    int64_t origin_ns_ = 0;               // the clock at the last restart
    SoundCardEstimate card_{44100};
    bool silenced_ = false;
    float fade_gain_ = 0;                 // the exit fade's starting levels
    double fade_reverb_ = 0, fade_chorus_ = 0;

    SynthWavRenderer renderer_;
};

// Builds a device, or says why not (null, *why set).
SynthDevice* create_device(SynthDevice::Output output, bool* driver_named, std::string* why) {
    quiet_fluidsynth_library();
    quiet_alsa_library();
    const char* soundfont = getenv("SMFSTREAM_SOUNDFONT");
    if (!soundfont || !*soundfont) soundfont = default_soundfont;
    auto* device = new (std::nothrow) SynthDevice(output);
    if (!device) {
        *why = no_memory_why;
        return nullptr;
    }
    if (!device->create(soundfont, getenv("SMFSTREAM_SYNTH_SETTINGS"), driver_named, why)) {
        delete device;
        return nullptr;
    }
    why->clear();
    return device;
}

}  // namespace

int synth_active_voices(MidiDevice* device) {
    auto* synth = dynamic_cast<SynthDevice*>(device);
    return synth ? fluid_synth_get_active_voice_count(synth->synth()) : -1;
}

MidiDevice* open_stepped_synth_device(int64_t first_frame, MMRESULT* error) {
    *error = MMSYSERR_NODRIVER;
    bool driver_named = false;
    std::string why;
    SynthDevice* device = create_device(SynthDevice::Output::stepped, &driver_named, &why);
    if (!device) {
        no_output(why);
        return nullptr;
    }
    device->start_stepped(first_frame);
    *error = MMSYSERR_NOERROR;
    return device;
}

void step_synth_device(MidiDevice* device, int64_t frames, float* left, float* right) {
    if (auto* synth = dynamic_cast<SynthDevice*>(device)) synth->render(frames, left, right);
}

MidiDevice* open_synth_device(const std::string& wav_path, MMRESULT* error) {
    *error = MMSYSERR_NODRIVER;
    std::string why;
    bool driver_named = false;
    SynthDevice* device =
        create_device(wav_path.empty() ? SynthDevice::Output::driver : SynthDevice::Output::wav, &driver_named, &why);
    if (!device) {
        no_output(why);
        return nullptr;
    }
    if (wav_path.empty()) {
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
        } else if (device->out_of_memory()) {
            why = no_memory_why;
        } else {
            why = "no audio output works for the software synthesizer (FluidSynth's " +
                  (tried.empty() ? std::string("audio") : tried) +
                  " driver failed); set SMFSTREAM_DEVICE=synth:FILE.wav to render into a WAV file instead";
        }
    } else if (!device->start_rendering(wav_path.c_str())) {
        if (errno == ENOMEM || errno == EAGAIN)
            why = no_memory_why;
        else
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
