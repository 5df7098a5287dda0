// Loads the sound module (the outputs that need FluidSynth or libasound) on
// first use, from the installed layout or from beside the program.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

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

}  // namespace

const SoundModule* sound_module(const char** why) {
    static std::once_flag once;
    static const SoundModule* loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        std::string path;
        void* handle = nullptr;
        for (const std::string& candidate : module_candidates()) {
            // A module that is not there is passed over; one that is there but
            // cannot be loaded is the failure to report.
            if (access(candidate.c_str(), F_OK) != 0) continue;
            path = candidate;
            handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle) break;
            const char* error = dlerror();
            failure = error ? error : path + ": cannot be loaded";
            return;
        }
        if (!handle) {
            failure = "not found; looked for";
            for (const std::string& candidate : module_candidates()) failure += " " + candidate;
            return;
        }
        using Entry = const SoundModule* (*)();
        auto entry = reinterpret_cast<Entry>(dlsym(handle, sound_module_entry));
        if (!entry) {
            const char* error = dlerror();
            failure = error ? error : path + ": no " + sound_module_entry;
            return;
        }
        loaded = entry();
        if (loaded) loaded->set_line_writer(line_writer());
    });
    if (!loaded && why) *why = failure.c_str();
    return loaded;
}

}  // namespace platform
