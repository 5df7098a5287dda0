// The entry point of libsmfstream-sound.so (sound_module.h).
#include "platform/linux/sound/sound_module.h"

#include "platform/linux/sound/alsa_device.h"
#include "platform/linux/sound/alsa_mixer.h"
#include "platform/linux/sound/synth_device.h"

namespace {

platform::MidiDevice* open_synth(const char* wav_path, MMRESULT* error) {
    return platform::open_synth_device(wav_path, error);
}

platform::MidiDevice* open_alsa(const char* port, MMRESULT* error) { return platform::open_alsa_device(port, error); }

const platform::SoundModule module = {
    open_synth,
    open_alsa,
    platform::open_alsa_mixer,
    platform::close_alsa_mixer,
    platform::set_alsa_mixer_volume,
    platform::set_line_writer,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const platform::SoundModule* smfstream_sound_module() {
    return &module;
}
