// Loads the sound module (the outputs that need FluidSynth or libasound) on
// first use, from the installed layout or from beside the program, and puts
// its devices and mixer behind the layer's own interfaces.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/devices/layer_lines.h"
#include "platform/linux/sound/sound_module.h"

namespace platform {

namespace {

// The directory of the running program, with its final '/'; empty if unknown.
std::string program_directory() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "";
    std::string program(path, size_t(length));
    return program.substr(0, program.rfind('/') + 1);
}

// Where the module is looked for, in this order: the installed layout (the
// module's directory relative to the program's, set by the build's install
// rules, e.g. ../lib/x86_64-linux-gnu/smfstream/), then beside the program, as
// in the build tree.
std::vector<std::string> module_candidates() {
    const std::string directory = program_directory();
    std::vector<std::string> candidates;
#ifdef SMFSTREAM_MODULE_RELATIVE_DIR
    candidates.push_back(directory + SMFSTREAM_MODULE_RELATIVE_DIR "/" + sound_module_file);
#endif
    candidates.push_back(directory + sound_module_file);
    return candidates;
}

// A device of the module: the stream's calls, passed on through the table.
class ModuleDevice : public MidiDevice {
public:
    ModuleDevice(const smfstream_sound_table& module, smfstream_sound_device* handle)
        : module_(module), handle_(handle) {}

    void stream_opened() override { module_.device_happening(handle_, SMFSTREAM_STREAM_OPENED, 0); }
    void time_division(DWORD division) override {
        module_.device_happening(handle_, SMFSTREAM_TIME_DIVISION, division);
    }
    void restarted() override { module_.device_happening(handle_, SMFSTREAM_RESTARTED, 0); }
    void play(uint64_t tick, int64_t due_us, int64_t at_us, DWORD word) override {
        module_.device_play(handle_, tick, due_us, at_us, word);
    }
    void reset() override { module_.device_happening(handle_, SMFSTREAM_RESET, 0); }
    void silence() override { module_.device_happening(handle_, SMFSTREAM_SILENCE, 0); }
    void finish() override { module_.device_happening(handle_, SMFSTREAM_FINISH, 0); }
    MMRESULT set_volume(DWORD volume) override { return module_.device_set_volume(handle_, volume); }
    Pacing pacing() const override {
        return module_.device_pacing(handle_) == SMFSTREAM_PACING_OWN_CLOCK ? Pacing::own_clock : Pacing::due_time;
    }

private:
    const smfstream_sound_table& module_;
    smfstream_sound_device* handle_;
};

}  // namespace

const smfstream_sound_table* load_sound_module(const std::string& path, std::string* why) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        *why = error ? error : path + ": cannot be loaded";
        return nullptr;
    }
    using Entry = const smfstream_sound_table* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, SMFSTREAM_SOUND_ENTRY));
    const smfstream_sound_table* table = entry ? entry() : nullptr;
    if (!table) {
        *why = path + ": no " SMFSTREAM_SOUND_ENTRY;
        dlclose(handle);
        return nullptr;
    }
    // A table that is not this interface's is not read beyond its first two fields.
    if (table->abi_version != SMFSTREAM_SOUND_ABI_VERSION || table->size < sizeof(smfstream_sound_table)) {
        *why = path + ": its interface is version " + std::to_string(table->abi_version) + " (" +
               std::to_string(table->size) + " bytes), this program's is version " +
               std::to_string(SMFSTREAM_SOUND_ABI_VERSION) + " (" + std::to_string(sizeof(smfstream_sound_table)) +
               " bytes)";
        dlclose(handle);
        return nullptr;
    }
    table->set_line_writer(line_writer());
    return table;
}

const smfstream_sound_table* sound_module(const char** why) {
    static std::once_flag once;
    static const smfstream_sound_table* loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        for (const std::string& candidate : module_candidates()) {
            // A module that is not there is passed over; one that is there but
            // cannot be loaded is the failure to report.
            if (access(candidate.c_str(), F_OK) != 0) continue;
            loaded = load_sound_module(candidate, &failure);
            return;
        }
        failure = "not found; looked for";
        for (const std::string& candidate : module_candidates()) failure += " " + candidate;
    });
    if (!loaded && why) *why = failure.c_str();
    return loaded;
}

MidiDevice* open_module_device(const smfstream_sound_table& module, bool synth, const char* argument,
                               MMRESULT* error) {
    uint32_t result = MMSYSERR_NODRIVER;
    smfstream_sound_device* handle =
            synth ? module.open_synth(argument, &result) : module.open_alsa(argument, &result);
    if (!handle) {
        *error = result;
        return nullptr;
    }
    return new ModuleDevice(module, handle);
}

smfstream_sound_mixer* open_module_mixer(const smfstream_sound_table& module, MixerCard* card) {
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

}  // namespace platform
