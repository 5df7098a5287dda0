// The synthesizer's FluidSynth settings: SMFSTREAM_SYNTH_SETTINGS by
// FluidSynth's own names, the audio drivers a build has, and the gain of a
// volume.
#include "platform/linux/sound/synth_settings.h"

#include <fluidsynth.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/linux/base/layer_lines.h"

namespace platform {

float synth_gain(DWORD volume) {
    const unsigned left = volume & 0xFFFF;
    if (left == 0) return 0.0f;
    return float(synth_full_gain * std::pow(10.0, volume_taper_db(left) / 20.0));
}

namespace {

void settings_line(const std::string& what) {
    write_line("smfstream: SMFSTREAM_SYNTH_SETTINGS: %s; left out\n", what.c_str());
}

struct OptionSearch {
    const char* wanted;
    bool any = false;
    bool found = false;
};

void note_option(void* data, const char*, const char* option) {
    auto* search = static_cast<OptionSearch*>(data);
    search->any = true;
    if (strcmp(option, search->wanted) == 0) search->found = true;
}

bool has_option(fluid_settings_t* settings, const char* name, const char* value, bool* any) {
    OptionSearch search{value};
    fluid_settings_foreach_option(settings, name, &search, note_option);
    if (any) *any = search.any;
    return search.found;
}

bool parse_number(const std::string& text, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && errno == 0 && std::isfinite(*value);
}

bool parse_integer(fluid_settings_t* settings, const char* name, const std::string& text, int* value) {
    int hints = 0;
    fluid_settings_get_hints(settings, name, &hints);
    if (hints & FLUID_HINT_TOGGLED) {
        for (const char* yes : {"1", "yes", "true", "on"})
            if (text == yes) return *value = 1, true;
        for (const char* no : {"0", "no", "false", "off"})
            if (text == no) return *value = 0, true;
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long parsed = strtol(text.c_str(), &end, 10);
    if (text.empty() || !end || *end != '\0' || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    *value = int(parsed);
    return true;
}

}  // namespace

bool synth_has_option(void* settings, const char* name, const char* value) {
    return has_option(static_cast<fluid_settings_t*>(settings), name, value, nullptr);
}

std::vector<std::string> apply_synth_settings(void* opaque, const char* text) {
    auto* settings = static_cast<fluid_settings_t*>(opaque);
    std::vector<std::string> applied;
    std::istringstream words(text ? text : "");
    std::string word;
    while (words >> word) {
        const size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0) {
            settings_line(word + " is not NAME=VALUE");
            continue;
        }
        const std::string name = word.substr(0, equals), value = word.substr(equals + 1);
        bool ok = false;
        switch (fluid_settings_get_type(settings, name.c_str())) {
        case FLUID_NO_TYPE:
            settings_line("FluidSynth has no setting " + name);
            continue;
        case FLUID_NUM_TYPE: {
            double number;
            ok = parse_number(value, &number) && fluid_settings_setnum(settings, name.c_str(), number) == FLUID_OK;
            break;
        }
        case FLUID_INT_TYPE: {
            int number;
            ok = parse_integer(settings, name.c_str(), value, &number) &&
                 fluid_settings_setint(settings, name.c_str(), number) == FLUID_OK;
            break;
        }
        case FLUID_STR_TYPE: {
            bool any = false;
            const bool listed = has_option(settings, name.c_str(), value.c_str(), &any);
            ok = (listed || !any) && fluid_settings_setstr(settings, name.c_str(), value.c_str()) == FLUID_OK;
            break;
        }
        default: break;
        }
        if (ok)
            applied.push_back(name);
        else
            settings_line(name + "=" + value + " is not a value FluidSynth takes");
    }
    return applied;
}

}  // namespace platform
