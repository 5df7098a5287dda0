// The entry point of libsmfstream-sound.so: its table (sound_module_abi.h).
// The mixer's entries are card 0's mixer itself (alsa_mixer.h); a device's
// entries call the synthesizer's or the ALSA port's own implementation of
// the device interface, one call each.
#include "platform/linux/base/layer_lines.h"
#include "platform/linux/base/sound_module_abi.h"
#include "platform/linux/sound/alsa_device.h"
#include "platform/linux/sound/alsa_mixer.h"
#include "platform/linux/sound/synth_device.h"

namespace {

using platform::MidiDevice;

MidiDevice* device_of(smfstream_sound_device* handle) { return reinterpret_cast<MidiDevice*>(handle); }

// A device opened, or null with *error set.
smfstream_sound_device* handle_of(MidiDevice* device, MMRESULT result, uint32_t* error) {
    if (!device) *error = result;
    return reinterpret_cast<smfstream_sound_device*>(device);
}

smfstream_sound_device* open_synth(const char* wav_path, uint32_t* error) {
    MMRESULT result = MMSYSERR_NODRIVER;
    MidiDevice* device = platform::open_synth_device(wav_path, &result);
    return handle_of(device, result, error);
}

smfstream_sound_device* open_alsa(const char* port, uint32_t* error) {
    MMRESULT result = MMSYSERR_NODRIVER;
    MidiDevice* device = platform::open_alsa_device(port, &result);
    return handle_of(device, result, error);
}

const smfstream_sound_table table = {
    SMFSTREAM_SOUND_ABI_VERSION,
    sizeof(smfstream_sound_table),
    platform::set_line_writer,
    open_synth,
    open_alsa,
    [](smfstream_sound_device* d) { device_of(d)->stream_opened(); },
    [](smfstream_sound_device* d, uint32_t division) { device_of(d)->time_division(division); },
    [](smfstream_sound_device* d) { device_of(d)->restarted(); },
    [](smfstream_sound_device* d, uint64_t tick, int64_t due_us, int64_t at_us, uint32_t word) {
        device_of(d)->play(tick, due_us, at_us, word);
    },
    [](smfstream_sound_device* d) { device_of(d)->reset(); },
    [](smfstream_sound_device* d) { device_of(d)->silence(); },
    [](smfstream_sound_device* d) { device_of(d)->finish(); },
    [](smfstream_sound_device* d, uint32_t volume) -> uint32_t { return device_of(d)->set_volume(volume); },
    [](smfstream_sound_device* d) -> int {
        return device_of(d)->pacing() == platform::Pacing::own_clock ? SMFSTREAM_PACING_OWN_CLOCK
                                                                     : SMFSTREAM_PACING_DUE_TIME;
    },
    platform::open_alsa_mixer,
    platform::alsa_mixer_destination,
    platform::set_alsa_mixer_volume,
    platform::close_alsa_mixer,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const smfstream_sound_table* smfstream_sound_module() {
    return &table;
}
