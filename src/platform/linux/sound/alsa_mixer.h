// Card 0's mixer through libasound's simple mixer interface, as the sound
// module's table presents it (sound_module_abi.h): its playback elements
// that have a volume are its destinations, and a destination's volume can be
// set. These are the table's mixer functions themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/base/sound_module_abi.h"

namespace platform {

// Reads card 0: its name into card_name, its destination count into
// *destinations; null when there is no card 0 (or it cannot be read).
smfstream_sound_mixer* open_alsa_mixer(char* card_name, size_t card_name_size, size_t* destinations);
// Destination i; 0 when there is no such destination.
int alsa_mixer_destination(smfstream_sound_mixer* mixer, size_t i, smfstream_mixer_destination* out);
// Sets destination i's playback volume, in hundredths of a decibel where the
// element has decibels, else in its raw range; 0 on failure.
int set_alsa_mixer_volume(smfstream_sound_mixer* mixer, size_t destination, int64_t volume);
void close_alsa_mixer(smfstream_sound_mixer* mixer);

}  // namespace platform
