// Brings player_state.volume to the MIDI device, or to the system mixer's
// first destination when the device refuses it. Control thread only.
#pragma once

#include <cstdint>

#include "platform/platform.h"

void apply_volume();

// v in both bytes of the low 16 bits; the high 16 bits stay 0.
inline DWORD stream_volume_word(int volume) { return DWORD(volume & 0xFF) * 0x0101; }

// 0 to 65280.
inline DWORD mixer_volume_value(int volume) { return DWORD(volume & 0xFF) * 256; }

// The reasons written for an error code of the stream's volume call, of
// mixerOpen, of mixerGetLineInfoA and of mixerSetControlDetails.
const char* stream_volume_reason(MMRESULT code);
const char* mixer_open_reason(MMRESULT code);
const char* line_info_reason(MMRESULT code);
const char* set_details_reason(MMRESULT code);
