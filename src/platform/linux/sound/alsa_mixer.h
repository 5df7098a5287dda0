// Card 0's mixer through libasound's simple mixer interface: its playback
// elements that have a volume become the destinations of a MixerCard
// (mixer_lines.h), and a destination's volume can be set.
#pragma once

#include <cstddef>

#include "platform/linux/winmm/mixer_lines.h"

namespace platform {

struct AlsaMixer;

// Reads card 0 into *card; null when there is no card 0 (or it cannot be read).
AlsaMixer* open_alsa_mixer(MixerCard* card);
void close_alsa_mixer(AlsaMixer* mixer);
// Sets destination i's playback volume, in hundredths of a decibel where the
// element has decibels, else in its raw range; false on failure.
bool set_alsa_mixer_volume(AlsaMixer* mixer, size_t destination, long volume);

}  // namespace platform
