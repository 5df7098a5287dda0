#include "support/scripted_winmm.h"

#include <cstring>

namespace scripted {

namespace {
Script the_script;
std::vector<Call> the_calls;
}  // namespace

Script& script() { return the_script; }
std::vector<Call>& calls() { return the_calls; }

void reset() {
    the_script = Script{};
    the_calls.clear();
}

std::string call_names() {
    std::string out;
    for (const Call& call : the_calls) out += (out.empty() ? "" : " ") + call.name;
    return out;
}

}  // namespace scripted

// The platform's calls, by the platform's names.

using scripted::Call;

namespace {

uintptr_t number(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

void copy_name(char* to, size_t size, const std::string& name) {
    strncpy(to, name.c_str(), size - 1);
    to[size - 1] = '\0';
}

}  // namespace

MMRESULT midiOutSetVolume(HMIDIOUT out, DWORD volume) {
    Call call{.name = "midiOutSetVolume"};
    call.handle = number(out);
    call.value = volume;
    scripted::calls().push_back(call);
    return scripted::script().set_volume;
}

MMRESULT mixerOpen(LPHMIXER mixer, UINT mixer_id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    Call call{.name = "mixerOpen"};
    call.id = mixer_id;
    call.callback = callback;
    call.instance = instance;
    call.flags = flags;
    scripted::calls().push_back(call);
    if (scripted::script().open != MMSYSERR_NOERROR) return scripted::script().open;
    *mixer = scripted::script().opened_handle;
    return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER mixer) {
    Call call{.name = "mixerClose"};
    call.handle = number(mixer);
    scripted::calls().push_back(call);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetDevCapsA(UINT_PTR mixer_id, LPMIXERCAPSA caps, UINT caps_size) {
    Call call{.name = "mixerGetDevCapsA"};
    call.handle = mixer_id;
    call.size = caps_size;
    call.has_record = caps != nullptr;
    scripted::calls().push_back(call);
    if (scripted::script().caps != MMSYSERR_NOERROR) return scripted::script().caps;
    memset(caps, 0, sizeof *caps);
    copy_name(caps->szPname, sizeof caps->szPname, "Scripted Mixer");
    caps->cDestinations = DWORD(scripted::script().destinations.size());
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ mixer, LPMIXERLINEA line, DWORD flags) {
    Call call{.name = "mixerGetLineInfoA"};
    call.handle = number(mixer);
    call.flags = flags;
    call.cb_struct = line->cbStruct;
    call.destination = line->dwDestination;
    call.source = line->dwSource;
    scripted::calls().push_back(call);
    const auto& destinations = scripted::script().destinations;
    if (line->dwDestination >= destinations.size()) return MIXERR_INVALLINE;
    const scripted::Destination& destination = destinations[line->dwDestination];
    if (destination.query != MMSYSERR_NOERROR) return destination.query;
    line->dwLineID = destination.line_id;
    copy_name(line->szName, sizeof line->szName, destination.name);
    copy_name(line->szShortName, sizeof line->szShortName, destination.name);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ mixer, LPMIXERLINECONTROLSA controls, DWORD flags) {
    Call call{.name = "mixerGetLineControlsA"};
    call.handle = number(mixer);
    call.flags = flags;
    call.cb_struct = controls->cbStruct;
    call.line_id = controls->dwLineID;
    call.control_type = controls->dwControlType;
    call.c_controls = controls->cControls;
    call.cb_mxctrl = controls->cbmxctrl;
    call.has_record = controls->pamxctrl != nullptr;
    scripted::calls().push_back(call);
    if (scripted::script().controls != MMSYSERR_NOERROR) return scripted::script().controls;
    if (!controls->pamxctrl || controls->cbmxctrl < sizeof(MIXERCONTROLA)) return MMSYSERR_INVALPARAM;
    MIXERCONTROLA& control = *controls->pamxctrl;
    memset(&control, 0, sizeof control);
    control.cbStruct = sizeof control;
    control.dwControlID = scripted::script().control_id;
    control.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    control.Bounds.dwMaximum = 0xFFFF;
    copy_name(control.szName, sizeof control.szName, scripted::script().control_name);
    copy_name(control.szShortName, sizeof control.szShortName, scripted::script().control_name);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerSetControlDetails(HMIXEROBJ mixer, LPMIXERCONTROLDETAILS details, DWORD flags) {
    Call call{.name = "mixerSetControlDetails"};
    call.handle = number(mixer);
    call.flags = flags;
    call.cb_struct = details->cbStruct;
    call.control_id = details->dwControlID;
    call.c_channels = details->cChannels;
    call.c_multiple_items = details->cMultipleItems;
    call.cb_details = details->cbDetails;
    call.has_record = details->paDetails != nullptr;
    if (details->paDetails && details->cbDetails >= sizeof(MIXERCONTROLDETAILS_UNSIGNED))
        call.value = static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails)->dwValue;
    scripted::calls().push_back(call);
    return scripted::script().set_details;
}
