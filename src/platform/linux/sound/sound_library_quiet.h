// FluidSynth and libasound write their own diagnostics on standard error;
// the player's standard error carries only its own messages, so both are
// silenced before either library is used.
#pragma once

namespace platform {

void quiet_alsa_library();
void quiet_fluidsynth_library();

}  // namespace platform
