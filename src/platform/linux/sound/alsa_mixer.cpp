// Card 0's mixer in the sound module (alsa_mixer.h).
#include "platform/linux/sound/alsa_mixer.h"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/sound/sound_library_quiet.h"

namespace platform {

namespace {

constexpr const char* card0 = "hw:0";

void copy_name(const std::string& name, char* buffer, size_t size) {
    if (size) snprintf(buffer, size, "%s", name.c_str());
}

}  // namespace

}  // namespace platform

// The module's mixer handle is the mixer itself.
struct smfstream_sound_mixer {
    snd_mixer_t* alsa = nullptr;
    std::vector<snd_mixer_elem_t*> elements;                  // one per destination
    std::vector<smfstream_mixer_destination> destinations;    // as read

    ~smfstream_sound_mixer() {
        if (alsa) snd_mixer_close(alsa);
    }
};

namespace platform {

smfstream_sound_mixer* open_alsa_mixer(char* card_name, size_t card_name_size, size_t* destinations) {
    quiet_alsa_library();
    auto mixer = std::make_unique<smfstream_sound_mixer>();
    if (snd_mixer_open(&mixer->alsa, 0) < 0) {
        mixer->alsa = nullptr;
        return nullptr;
    }
    if (snd_mixer_attach(mixer->alsa, card0) < 0 || snd_mixer_selem_register(mixer->alsa, nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer->alsa) < 0)
        return nullptr;
    char* name = nullptr;
    copy_name(snd_card_get_name(0, &name) >= 0 && name ? name : card0, card_name, card_name_size);
    free(name);
    for (snd_mixer_elem_t* element = snd_mixer_first_elem(mixer->alsa); element;
         element = snd_mixer_elem_next(element)) {
        if (!snd_mixer_selem_is_active(element) || !snd_mixer_selem_has_playback_volume(element)) continue;
        smfstream_mixer_destination destination{};
        std::string element_name = snd_mixer_selem_get_name(element);
        if (unsigned index = snd_mixer_selem_get_index(element)) element_name += " " + std::to_string(index);
        copy_name(element_name, destination.name, sizeof destination.name);
        long minimum = 0, maximum = 0, minimum_db = 0, maximum_db = 0;
        snd_mixer_selem_get_playback_volume_range(element, &minimum, &maximum);
        destination.minimum = minimum;
        destination.maximum = maximum;
        destination.channels = snd_mixer_selem_is_playback_mono(element) ? 1 : 2;
        destination.decibels = snd_mixer_selem_get_playback_dB_range(element, &minimum_db, &maximum_db) == 0 &&
                               maximum_db > minimum_db;
        destination.minimum_db = minimum_db;
        destination.maximum_db = maximum_db;
        mixer->destinations.push_back(destination);
        mixer->elements.push_back(element);
    }
    *destinations = mixer->destinations.size();
    return mixer.release();
}

int alsa_mixer_destination(smfstream_sound_mixer* mixer, size_t i, smfstream_mixer_destination* out) {
    if (i >= mixer->destinations.size()) return 0;
    *out = mixer->destinations[i];
    return 1;
}

void close_alsa_mixer(smfstream_sound_mixer* mixer) { delete mixer; }

int set_alsa_mixer_volume(smfstream_sound_mixer* mixer, size_t destination, int64_t volume) {
    if (destination >= mixer->elements.size()) return 0;
    snd_mixer_elem_t* element = mixer->elements[destination];
    if (mixer->destinations[destination].decibels)
        return snd_mixer_selem_set_playback_dB_all(element, long(volume), -1) >= 0;
    return snd_mixer_selem_set_playback_volume_all(element, long(volume)) >= 0;
}

}  // namespace platform
