// The entry point of libsmfstream-sound.so: its devices and card 0's mixer
// behind the module's C interface (sound_module_abi.h).
#include <cstdio>
#include <cstring>

#include "platform/linux/devices/layer_lines.h"
#include "platform/linux/sound/alsa_device.h"
#include "platform/linux/sound/alsa_mixer.h"
#include "platform/linux/sound/sound_module_abi.h"
#include "platform/linux/sound/synth_device.h"

namespace {

using platform::MidiDevice;

MidiDevice* device_of(smfstream_sound_device* handle) { return reinterpret_cast<MidiDevice*>(handle); }
smfstream_sound_device* handle_of(MidiDevice* device) { return reinterpret_cast<smfstream_sound_device*>(device); }

// Card 0's mixer with its record of the card.
struct Mixer {
    platform::AlsaMixer* alsa = nullptr;
    platform::MixerCard card;
};

void copy_name(const std::string& name, char* buffer, size_t size) {
    if (size == 0) return;
    snprintf(buffer, size, "%s", name.c_str());
}

void set_line_writer(void (*writer)(const char* line)) { platform::set_line_writer(writer); }

smfstream_sound_device* open_synth(const char* wav_path, uint32_t* error) {
    MMRESULT result = MMSYSERR_NODRIVER;
    MidiDevice* device = platform::open_synth_device(wav_path, &result);
    if (!device) *error = result;
    return handle_of(device);
}

smfstream_sound_device* open_alsa(const char* port, uint32_t* error) {
    MMRESULT result = MMSYSERR_NODRIVER;
    MidiDevice* device = platform::open_alsa_device(port, &result);
    if (!device) *error = result;
    return handle_of(device);
}

void device_happening(smfstream_sound_device* handle, int happening, uint32_t value) {
    MidiDevice* device = device_of(handle);
    switch (happening) {
    case SMFSTREAM_STREAM_OPENED: device->stream_opened(); break;
    case SMFSTREAM_TIME_DIVISION: device->time_division(value); break;
    case SMFSTREAM_RESTARTED: device->restarted(); break;
    case SMFSTREAM_RESET: device->reset(); break;
    case SMFSTREAM_SILENCE: device->silence(); break;
    case SMFSTREAM_FINISH: device->finish(); break;
    default: break;
    }
}

void device_play(smfstream_sound_device* handle, uint64_t tick, int64_t due_us, int64_t at_us, uint32_t word) {
    device_of(handle)->play(tick, due_us, at_us, word);
}

int device_pacing(smfstream_sound_device* handle) {
    return device_of(handle)->pacing() == platform::Pacing::own_clock ? SMFSTREAM_PACING_OWN_CLOCK
                                                                      : SMFSTREAM_PACING_DUE_TIME;
}

uint32_t device_set_volume(smfstream_sound_device* handle, uint32_t volume) {
    return device_of(handle)->set_volume(volume);
}

smfstream_sound_mixer* open_mixer(char* card_name, size_t card_name_size, size_t* destinations) {
    auto* mixer = new Mixer;
    mixer->alsa = platform::open_alsa_mixer(&mixer->card);
    if (!mixer->alsa) {
        delete mixer;
        return nullptr;
    }
    copy_name(mixer->card.name, card_name, card_name_size);
    *destinations = mixer->card.destinations.size();
    return reinterpret_cast<smfstream_sound_mixer*>(mixer);
}

int mixer_destination(smfstream_sound_mixer* handle, size_t i, smfstream_mixer_destination* out) {
    auto* mixer = reinterpret_cast<Mixer*>(handle);
    if (i >= mixer->card.destinations.size()) return 0;
    const platform::MixerElement& element = mixer->card.destinations[i];
    copy_name(element.name, out->name, sizeof out->name);
    out->minimum = element.minimum;
    out->maximum = element.maximum;
    out->channels = element.channels;
    out->decibels = element.decibels;
    out->minimum_db = element.minimum_db;
    out->maximum_db = element.maximum_db;
    return 1;
}

int set_mixer_volume(smfstream_sound_mixer* handle, size_t destination, int64_t volume) {
    return platform::set_alsa_mixer_volume(reinterpret_cast<Mixer*>(handle)->alsa, destination, long(volume));
}

void close_mixer(smfstream_sound_mixer* handle) {
    auto* mixer = reinterpret_cast<Mixer*>(handle);
    platform::close_alsa_mixer(mixer->alsa);
    delete mixer;
}

const smfstream_sound_table table = {
    SMFSTREAM_SOUND_ABI_VERSION,
    sizeof(smfstream_sound_table),
    set_line_writer,
    open_synth,
    open_alsa,
    device_happening,
    device_play,
    device_set_volume,
    open_mixer,
    mixer_destination,
    set_mixer_volume,
    close_mixer,
    device_pacing,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const smfstream_sound_table* smfstream_sound_module() {
    return &table;
}
