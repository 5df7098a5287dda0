#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/linux/sound_module.h"

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

}  // namespace

const SoundModule* sound_module(const char** why) {
    static std::once_flag once;
    static const SoundModule* loaded = nullptr;
    static std::string failure;
    std::call_once(once, [] {
        std::string path = program_directory() + sound_module_file;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* error = dlerror();
            failure = error ? error : path + ": cannot be loaded";
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
