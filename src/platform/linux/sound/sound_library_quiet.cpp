#include "platform/linux/sound/sound_library_quiet.h"

#include <alsa/asoundlib.h>
#include <fluidsynth.h>

#include <mutex>

namespace platform {

namespace {

void alsa_says_nothing(const char*, int, const char*, int, const char*, ...) {}
void fluidsynth_says_nothing(int, const char*, void*) {}

}  // namespace

void quiet_alsa_library() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(alsa_says_nothing); });
}

void quiet_fluidsynth_library() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level = 0; level < LAST_LOG_LEVEL; ++level) fluid_set_log_function(level, fluidsynth_says_nothing, nullptr);
    });
}

}  // namespace platform
