#include "platform/linux/sound/alsa_mixer.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/sound/sound_library_quiet.h"

namespace platform {

namespace {

constexpr const char* card0 = "hw:0";

}  // namespace

struct AlsaMixer {
    snd_mixer_t* alsa = nullptr;
    std::vector<snd_mixer_elem_t*> elements;  // one per destination
    std::vector<bool> decibels;               // set in decibels (on the taper), else raw

    ~AlsaMixer() {
        if (alsa) snd_mixer_close(alsa);
    }
};

AlsaMixer* open_alsa_mixer(MixerCard* card) {
    quiet_alsa_library();
    auto mixer = std::make_unique<AlsaMixer>();
    if (snd_mixer_open(&mixer->alsa, 0) < 0) {
        mixer->alsa = nullptr;
        return nullptr;
    }
    if (snd_mixer_attach(mixer->alsa, card0) < 0 || snd_mixer_selem_register(mixer->alsa, nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer->alsa) < 0)
        return nullptr;
    MixerCard read;
    char* card_name = nullptr;
    read.name = snd_card_get_name(0, &card_name) >= 0 && card_name ? card_name : card0;
    free(card_name);
    for (snd_mixer_elem_t* element = snd_mixer_first_elem(mixer->alsa); element;
         element = snd_mixer_elem_next(element)) {
        if (!snd_mixer_selem_is_active(element) || !snd_mixer_selem_has_playback_volume(element)) continue;
        MixerElement destination;
        destination.name = snd_mixer_selem_get_name(element);
        if (unsigned index = snd_mixer_selem_get_index(element)) destination.name += " " + std::to_string(index);
        snd_mixer_selem_get_playback_volume_range(element, &destination.minimum, &destination.maximum);
        destination.channels = snd_mixer_selem_is_playback_mono(element) ? 1 : 2;
        destination.decibels =
            snd_mixer_selem_get_playback_dB_range(element, &destination.minimum_db, &destination.maximum_db) == 0 &&
            destination.maximum_db > destination.minimum_db;
        read.destinations.push_back(destination);
        mixer->elements.push_back(element);
        mixer->decibels.push_back(destination.decibels);
    }
    *card = std::move(read);
    return mixer.release();
}

void close_alsa_mixer(AlsaMixer* mixer) { delete mixer; }

bool set_alsa_mixer_volume(AlsaMixer* mixer, size_t destination, long volume) {
    if (destination >= mixer->elements.size()) return false;
    snd_mixer_elem_t* element = mixer->elements[destination];
    if (mixer->decibels[destination]) return snd_mixer_selem_set_playback_dB_all(element, volume, -1) >= 0;
    return snd_mixer_selem_set_playback_volume_all(element, volume) >= 0;
}

}  // namespace platform
