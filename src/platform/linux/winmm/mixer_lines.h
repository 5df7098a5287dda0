// The mixer's lines and controls as winmm presents them, over a sound card's
// playback elements: destination i is the card's i-th playback element that
// has a volume, and its one control is that element's playback volume.
// Nothing here touches the card; mixer.cpp reads it and sets the volume.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "platform/linux/base/mmsystem.h"
#include "platform/linux/base/volume_taper.h"

namespace platform {

struct MixerElement {
    std::string name;
    long minimum = 0;  // the element's playback volume range
    long maximum = 0;
    unsigned channels = 2;
    bool decibels = false;  // the element knows its range in decibels:
    long minimum_db = 0;    // in hundredths of a decibel
    long maximum_db = 0;
};

struct MixerCard {
    std::string name;
    std::vector<MixerElement> destinations;
};

// Line and control identifiers of destination i.
constexpr DWORD mixer_destination_line_id(size_t i) { return 0xFFFF0000u + DWORD(i); }
constexpr DWORD mixer_volume_control_id(size_t i) { return DWORD(i); }

// A control value, 0..65535, in the element's range (linear, rounded);
// values above 65535 count as 65535. For an element without decibels.
long element_volume(DWORD value, long minimum, long maximum);

// A control value on the taper, in hundredths of a decibel within the
// element's range: 0 is its minimum (silence), 65535 its maximum.
long element_volume_db(DWORD value, long minimum_db, long maximum_db);

// The operations' record work; the results are winmm's.
MMRESULT fill_mixer_caps(const MixerCard& card, MIXERCAPSA* caps, UINT caps_size);
MMRESULT fill_mixer_line(const MixerCard& card, MIXERLINEA* line, DWORD flags);
MMRESULT fill_mixer_controls(const MixerCard& card, MIXERLINECONTROLSA* controls, DWORD flags);

// Which destination a set-details call names and the element volume it asks
// for (hundredths of a decibel for an element with decibels); MMSYSERR_NOERROR
// when both are found.
MMRESULT mixer_volume_request(const MixerCard& card, const MIXERCONTROLDETAILS* details, DWORD flags,
                              size_t* destination, long* volume);

}  // namespace platform
