// The system mixer: mixer 0 is ALSA card 0's mixer, read through libasound's
// simple mixer interface. Its destinations are the card's playback elements
// that have a volume (mixer_lines.h). No card: mixer 0 does not exist.
#include <alsa/asoundlib.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/linux/mixer_lines.h"
#include "platform/linux/mmsystem.h"
#include "platform/linux/sound_library_quiet.h"

namespace platform {

namespace {

constexpr const char* card0 = "hw:0";

struct OpenMixer {
    snd_mixer_t* alsa = nullptr;
    MixerCard card;
    std::vector<snd_mixer_elem_t*> elements;  // one per destination

    ~OpenMixer() {
        if (alsa) snd_mixer_close(alsa);
    }
};

std::unique_ptr<OpenMixer> open_card0() {
    quiet_alsa_library();
    auto mixer = std::make_unique<OpenMixer>();
    if (snd_mixer_open(&mixer->alsa, 0) < 0) {
        mixer->alsa = nullptr;
        return nullptr;
    }
    if (snd_mixer_attach(mixer->alsa, card0) < 0 || snd_mixer_selem_register(mixer->alsa, nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer->alsa) < 0)
        return nullptr;
    char* card_name = nullptr;
    mixer->card.name = snd_card_get_name(0, &card_name) >= 0 && card_name ? card_name : card0;
    free(card_name);
    for (snd_mixer_elem_t* element = snd_mixer_first_elem(mixer->alsa); element;
         element = snd_mixer_elem_next(element)) {
        if (!snd_mixer_selem_is_active(element) || !snd_mixer_selem_has_playback_volume(element)) continue;
        MixerElement destination;
        destination.name = snd_mixer_selem_get_name(element);
        if (unsigned index = snd_mixer_selem_get_index(element)) destination.name += " " + std::to_string(index);
        snd_mixer_selem_get_playback_volume_range(element, &destination.minimum, &destination.maximum);
        destination.channels = snd_mixer_selem_is_playback_mono(element) ? 1 : 2;
        mixer->card.destinations.push_back(destination);
        mixer->elements.push_back(element);
    }
    return mixer;
}

// The open mixers, so that a handle that is not (or no longer) one is refused.
std::mutex lock;
std::set<OpenMixer*> open_mixers;  // guarded by lock

// Runs work on the mixer a handle or a mixer number names: a handle of an
// open mixer, or mixer 0, opened for this call alone.
template <typename Work>
MMRESULT with_mixer(UINT_PTR handle_or_id, Work work) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = open_mixers.find(reinterpret_cast<OpenMixer*>(handle_or_id));
    if (found != open_mixers.end()) return work(**found);
    if (handle_or_id == 0) {
        std::unique_ptr<OpenMixer> mixer = open_card0();
        return mixer ? work(*mixer) : MMSYSERR_BADDEVICEID;
    }
    return handle_or_id < 0x10000 ? MMSYSERR_BADDEVICEID : MMSYSERR_INVALHANDLE;
}

}  // namespace

}  // namespace platform

using platform::OpenMixer;

MMRESULT mixerOpen(LPHMIXER mixer, UINT mixer_id, DWORD_PTR, DWORD_PTR, DWORD flags) {
    if (!mixer) return MMSYSERR_INVALPARAM;
    if ((flags & 0xF0000000u) != MIXER_OBJECTF_MIXER) return MMSYSERR_INVALFLAG;
    if (mixer_id != 0) return MMSYSERR_BADDEVICEID;
    std::unique_ptr<OpenMixer> opened = platform::open_card0();
    if (!opened) return MMSYSERR_BADDEVICEID;
    std::lock_guard<std::mutex> hold(platform::lock);
    platform::open_mixers.insert(opened.get());
    *mixer = reinterpret_cast<HMIXER>(opened.release());
    return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER mixer) {
    std::lock_guard<std::mutex> hold(platform::lock);
    auto found = platform::open_mixers.find(reinterpret_cast<OpenMixer*>(mixer));
    if (found == platform::open_mixers.end()) return MMSYSERR_INVALHANDLE;
    delete *found;
    platform::open_mixers.erase(found);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetDevCapsA(UINT_PTR mixer_id, LPMIXERCAPSA caps, UINT caps_size) {
    return platform::with_mixer(mixer_id,
                                [&](OpenMixer& mixer) { return platform::fill_mixer_caps(mixer.card, caps, caps_size); });
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ mixer, LPMIXERLINEA line, DWORD flags) {
    return platform::with_mixer(reinterpret_cast<UINT_PTR>(mixer),
                                [&](OpenMixer& open) { return platform::fill_mixer_line(open.card, line, flags); });
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ mixer, LPMIXERLINECONTROLSA controls, DWORD flags) {
    return platform::with_mixer(reinterpret_cast<UINT_PTR>(mixer), [&](OpenMixer& open) {
        return platform::fill_mixer_controls(open.card, controls, flags);
    });
}

MMRESULT mixerSetControlDetails(HMIXEROBJ mixer, LPMIXERCONTROLDETAILS details, DWORD flags) {
    return platform::with_mixer(reinterpret_cast<UINT_PTR>(mixer), [&](OpenMixer& open) -> MMRESULT {
        size_t destination = 0;
        long volume = 0;
        MMRESULT result = platform::mixer_volume_request(open.card, details, flags, &destination, &volume);
        if (result != MMSYSERR_NOERROR) return result;
        if (snd_mixer_selem_set_playback_volume_all(open.elements[destination], volume) < 0) return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    });
}
