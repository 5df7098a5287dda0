// Loads the sound module (the outputs that need FluidSynth or libasound) on
// first use, from the installed layout or from beside the program, and puts
// its devices behind the device interface.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/base/layer_lines.h"
#include "platform/linux/devices/sound_module.h"

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

// A device of the module: each of the stream's calls is one call of the table.
class ModuleDevice : public MidiDevice {
public:
    ModuleDevice(const smfstream_sound_table& module, smfstream_sound_device* handle)
        : module_(module), handle_(handle) {}

    void stream_opened() override { module_.stream_opened(handle_); }
    void time_division(DWORD division) override { module_.time_division(handle_, division); }
    void restarted() override { module_.restarted(handle_); }
    void play(uint64_t tick, int64_t due_us, int64_t at_us, DWORD word) override {
        module_.play(handle_, tick, due_us, at_us, word);
    }
    void reset() override { module_.reset(handle_); }
    void silence() override { module_.silence(handle_); }
    void finish() override { module_.finish(handle_); }
    MMRESULT set_volume(DWORD volume) override { return module_.set_volume(handle_, volume); }
    Pacing pacing() const override {
        return module_.pacing(handle_) == SMFSTREAM_PACING_OWN_CLOCK ? Pacing::own_clock : Pacing::due_time;
    }

private:
    const smfstream_sound_table& module_;
    smfstream_sound_device* handle_;
};

// The program's own ELF header, as the linker places it in memory.
extern "C" const ElfW(Ehdr) __ehdr_start;

// Whether the file at path is a whole shared object of this machine: the
// dynamic loader maps a file cut short (an interrupted copy or install) and
// the process dies of SIGBUS when it touches what is missing, so a file is
// read before it is given to dlopen. Says why not in *why.
bool whole_shared_object(const std::string& path, std::string* why) {
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (file < 0 || fstat(file, &status) != 0) {
        *why = path + ": cannot be read (" + strerror(errno) + ")";
        if (file >= 0) close(file);
        return false;
    }
    const uint64_t size = uint64_t(status.st_size);
    ElfW(Ehdr) header{};
    bool read_whole = pread(file, &header, sizeof header, 0) == ssize_t(sizeof header);
    const ElfW(Ehdr)& own = __ehdr_start;
    if (!read_whole || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_type != ET_DYN) {
        close(file);
        *why = path + ": not a shared object";
        return false;
    }
    if (header.e_ident[EI_CLASS] != own.e_ident[EI_CLASS] || header.e_ident[EI_DATA] != own.e_ident[EI_DATA] ||
        header.e_machine != own.e_machine || header.e_phentsize != sizeof(ElfW(Phdr))) {
        close(file);
        *why = path + ": a shared object for another machine";
        return false;
    }
    // Everything the loader maps, and the program headers themselves, lie within the file.
    uint64_t reach = uint64_t(header.e_phoff) + uint64_t(header.e_phnum) * sizeof(ElfW(Phdr));
    for (unsigned i = 0; i < header.e_phnum && reach <= size; ++i) {
        ElfW(Phdr) segment{};
        if (pread(file, &segment, sizeof segment, off_t(header.e_phoff + i * sizeof segment)) != ssize_t(sizeof segment))
            break;
        if (segment.p_type == PT_LOAD) reach = std::max<uint64_t>(reach, uint64_t(segment.p_offset) + segment.p_filesz);
    }
    if (header.e_shoff) reach = std::max<uint64_t>(reach, uint64_t(header.e_shoff) + uint64_t(header.e_shnum) * header.e_shentsize);
    close(file);
    if (reach > size) {
        *why = path + ": cut short (" + std::to_string(size) + " bytes; a whole one reaches to byte " +
               std::to_string(reach) + ")";
        return false;
    }
    return true;
}

}  // namespace

const smfstream_sound_table* load_sound_module(const std::string& path, std::string* why) {
    if (!whole_shared_object(path, why)) return nullptr;
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
            // cannot be loaded (a symbolic link loop among them) is the
            // failure to report.
            if (access(candidate.c_str(), F_OK) != 0 && (errno == ENOENT || errno == ENOTDIR)) continue;
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

}  // namespace platform
