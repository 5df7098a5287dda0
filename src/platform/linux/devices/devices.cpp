// Device 0: the device SMFSTREAM_DEVICE names, opened once on first use and
// kept for the life of the process.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/linux/devices/devices.h"
#include "platform/linux/devices/device_kinds.h"
#include "platform/linux/base/layer_lines.h"
#include "platform/linux/win32/kernel32.h"
#include "platform/linux/devices/sound_module.h"

namespace platform {

namespace {

std::mutex opening;
bool tried = false;                          // guarded by opening
MMRESULT open_error = MMSYSERR_NOERROR;      // guarded by opening
std::atomic<MidiDevice*> configured{nullptr};
std::atomic<MidiDevice*> replacement{nullptr};

// A device of the sound module; no module: no driver, said in one line.
MidiDevice* open_sound_device(bool synth, const std::string& argument, MMRESULT* error) {
    const char* why = "";
    const smfstream_sound_table* module = sound_module(&why);
    if (!module) {
        write_line("smfstream: no MIDI output: the sound module cannot be loaded: %s\n", why);
        *error = MMSYSERR_NODRIVER;
        return nullptr;
    }
    return open_module_device(*module, synth, argument.c_str(), error);
}

MidiDevice* open_configured(MMRESULT* error) {
    const char* value = getenv("SMFSTREAM_DEVICE");
    DeviceSetting setting = parse_device_setting(value);
    switch (setting.kind) {
    case DeviceSetting::Kind::trace: return open_trace_device(setting.argument, Pacing::due_time, error);
    case DeviceSetting::Kind::trace_fast: return open_trace_device(setting.argument, Pacing::as_queued, error);
    case DeviceSetting::Kind::synth: return open_sound_device(true, setting.argument, error);
    case DeviceSetting::Kind::alsa: return open_sound_device(false, setting.argument, error);
    case DeviceSetting::Kind::unknown: break;
    }
    write_line(
            "smfstream: no MIDI output: SMFSTREAM_DEVICE=%s is not one of trace:FILE, trace-fast:FILE, synth, "
            "synth:FILE.wav, alsa, alsa:PORT\n",
            value);
    *error = MMSYSERR_NODRIVER;
    return nullptr;
}

}  // namespace

DeviceSetting parse_device_setting(const char* value) {
    using Kind = DeviceSetting::Kind;
    if (!value || !*value) return {Kind::synth, ""};
    struct Name {
        const char* text;
        Kind kind;
        bool needs_argument;
    };
    static const Name names[] = {
        {"trace-fast", Kind::trace_fast, true},
        {"trace", Kind::trace, true},
        {"synth", Kind::synth, false},
        {"alsa", Kind::alsa, false},
    };
    for (const Name& name : names) {
        size_t length = strlen(name.text);
        if (strncmp(value, name.text, length) != 0) continue;
        if (value[length] == '\0' && !name.needs_argument) return {name.kind, ""};
        if (value[length] == ':' && (value[length + 1] != '\0' || !name.needs_argument))
            return {name.kind, value + length + 1};
    }
    return {Kind::unknown, ""};
}

// ExitProcess silences what device 0 has opened.
static void register_shut_down() {
    static std::once_flag once;
    std::call_once(once, [] { at_process_exit(shut_down_devices); });
}

MidiDevice* device0(MMRESULT* error) {
    register_shut_down();
    if (MidiDevice* device = replacement.load()) return device;
    std::lock_guard<std::mutex> hold(opening);
    if (!tried) {
        tried = true;
        open_error = MMSYSERR_NODRIVER;
        configured.store(open_configured(&open_error));
    }
    MidiDevice* device = configured.load();
    if (!device) *error = open_error;
    return device;
}

void use_device0(MidiDevice* device) {
    register_shut_down();
    replacement.store(device);
}

void shut_down_devices() {
    // No lock: the process may end while another thread is inside a device
    // call; each device guards itself.
    static std::once_flag once;
    std::call_once(once, [] {
        for (MidiDevice* device : {configured.load(), replacement.load()}) {
            if (!device) continue;
            device->silence();
            device->finish();
        }
    });
}

}  // namespace platform
