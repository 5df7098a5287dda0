// The system mixer: mixer 0 is ALSA card 0's mixer, read in the sound module
// (alsa_mixer.h). Its destinations are the card's playback elements
// that have a volume (mixer_lines.h). No card: mixer 0 does not exist.
#include <memory>
#include <mutex>
#include <set>

#include "platform/linux/winmm/mixer_lines.h"
#include "platform/linux/base/mmsystem.h"
#include "platform/linux/devices/sound_module.h"

namespace platform {

namespace {

// Card 0 as the module reads it: its handle, null when there is none; *card filled.
smfstream_sound_mixer* read_card0(const smfstream_sound_table& module, MixerCard* card) {
    char name[256] = "";
    size_t count = 0;
    smfstream_sound_mixer* mixer = module.open_mixer(name, sizeof name, &count);
    if (!mixer) return nullptr;
    MixerCard read;
    read.name = name;
    for (size_t i = 0; i < count; ++i) {
        smfstream_mixer_destination got{};
        if (!module.mixer_destination(mixer, i, &got)) break;
        MixerElement element;
        element.name = got.name;
        element.minimum = long(got.minimum);
        element.maximum = long(got.maximum);
        element.channels = got.channels;
        element.decibels = got.decibels != 0;
        element.minimum_db = long(got.minimum_db);
        element.maximum_db = long(got.maximum_db);
        read.destinations.push_back(element);
    }
    *card = std::move(read);
    return mixer;
}

// Card 0's mixer, read through the sound module (sound_module.h).
struct OpenMixer {
    const smfstream_sound_table* module = nullptr;
    smfstream_sound_mixer* alsa = nullptr;
    MixerCard card;

    ~OpenMixer() {
        if (alsa) module->close_mixer(alsa);
    }
};

// Without the sound module there is no card to read: no mixer 0.
std::unique_ptr<OpenMixer> open_card0() {
    auto mixer = std::make_unique<OpenMixer>();
    mixer->module = sound_module(nullptr);
    if (!mixer->module) return nullptr;
    mixer->alsa = read_card0(*mixer->module, &mixer->card);
    if (!mixer->alsa) return nullptr;
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
        if (!open.module->set_mixer_volume(open.alsa, destination, volume)) return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    });
}
