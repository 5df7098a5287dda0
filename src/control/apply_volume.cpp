#include "control/volume.h"
#include "state/messages.h"
#include "state/player_state.h"

const char* stream_volume_reason(MMRESULT code) {
    switch (code) {
    case MMSYSERR_INVALHANDLE: return "Reason: handle not valid\n";
    case MMSYSERR_NOMEM: return "Reason: memory error\n";
    case MMSYSERR_NOTSUPPORTED: return "Reason: not supported\n";
    default: return "Reason: unknown\n";
    }
}

const char* mixer_open_reason(MMRESULT code) {
    switch (code) {
    case MMSYSERR_BADDEVICEID: return "MMSYSERR_BADDEVICEID\n";
    case MMSYSERR_ALLOCATED: return "MMSYSERR_ALLOCATED\n";
    case MMSYSERR_INVALHANDLE: return "MMSYSERR_INVALHANDLE\n";
    case MMSYSERR_NODRIVER: return "MMSYSERR_NODRIVER\n";
    case MMSYSERR_NOMEM: return "MMSYSERR_NOMEM\n";
    case MMSYSERR_INVALFLAG: return "MMSYSERR_INVALFLAG\n";
    case MMSYSERR_INVALPARAM: return "MMSYSERR_INVALPARAM\n";
    default: return "Reason: unknown\n";
    }
}

const char* line_info_reason(MMRESULT code) {
    switch (code) {
    case MMSYSERR_BADDEVICEID: return "MMSYSERR_BADDEVICEID\n";
    case MMSYSERR_INVALHANDLE: return "MMSYSERR_INVALHANDLE\n";
    case MMSYSERR_NODRIVER: return "MMSYSERR_NODRIVER\n";
    case MMSYSERR_INVALFLAG: return "MMSYSERR_INVALFLAG\n";
    case MMSYSERR_INVALPARAM: return "MMSYSERR_INVALPARAM\n";
    case MIXERR_INVALLINE: return "MIXERR_INVALLINE\n";
    default: return "Reason: unknown\n";
    }
}

const char* set_details_reason(MMRESULT code) {
    switch (code) {
    case MMSYSERR_BADDEVICEID: return "bad device id\n";
    case MMSYSERR_INVALHANDLE: return "Invalid handle\n";
    case MMSYSERR_NODRIVER: return "No driver\n";
    case MMSYSERR_INVALFLAG: return "invalid flag\n";
    case MMSYSERR_INVALPARAM: return "Invalid param\n";
    case MIXERR_INVALCONTROL: return "Invalid control\n";
    default: return "\n";
    }
}

// Each group of lines is handed to the writer as one message (state/messages.h).

namespace {

// The stream's volume call. The stream is used only while the pass holds it
// open; between passes the null handle names device 0. The call itself runs
// outside the lock (it may open device 0); the pass waits for it before it
// closes the stream.
MMRESULT set_stream_volume(DWORD word) {
    EnterCriticalSection(&player_state.lock);
    HMIDISTRM stream = player_state.stream_handle;
    if (stream) ++player_state.stream_users;
    LeaveCriticalSection(&player_state.lock);
    MMRESULT result = midiOutSetVolume(reinterpret_cast<HMIDIOUT>(stream), word);
    if (stream) {
        EnterCriticalSection(&player_state.lock);
        if (--player_state.stream_users == 0) SetEvent(player_state.stream_released);
        LeaveCriticalSection(&player_state.lock);
    }
    return result;
}

// A mixer's line and control names come from the driver: shown safely, each
// byte at most four.
constexpr size_t mixer_name_shown_bytes = 4 * MIXER_LONG_NAME_CHARS + 1;

void list_destinations(HMIXER mixer) {
    MIXERCAPSA caps = {};
    if (mixerGetDevCapsA(reinterpret_cast<UINT_PTR>(mixer), &caps, sizeof caps) != MMSYSERR_NOERROR) return;
    for (DWORD i = 0; i < caps.cDestinations; ++i) {
        MIXERLINEA line = {};
        line.cbStruct = sizeof line;
        line.dwDestination = i;
        if (mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(mixer), &line, MIXER_GETLINEINFOF_DESTINATION) !=
            MMSYSERR_NOERROR)
            continue;
        char shown[mixer_name_shown_bytes];
        write_message("Destination #%lu = %s\n", static_cast<unsigned long>(i),
                      show_text(line.szName, shown, sizeof shown));
    }
}

// Sets the volume control of the mixer's first destination.
void set_first_destination(HMIXER mixer, int volume) {
    MIXERLINEA line = {};
    line.cbStruct = sizeof line;
    line.dwDestination = 0;
    line.dwSource = 0;
    MMRESULT e = mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(mixer), &line, MIXER_GETLINEINFOF_DESTINATION);
    if (e != MMSYSERR_NOERROR) {
        write_message("Error #%d calling mixerGetLineInfo()\n%s", int(e), line_info_reason(e));
        return;
    }
    char shown[mixer_name_shown_bytes];
    write_message("Mixerline: %s\n", show_text(line.szName, shown, sizeof shown));

    MIXERCONTROLA control = {};
    MIXERLINECONTROLSA controls = {};
    controls.cbStruct = sizeof controls;
    controls.dwLineID = line.dwLineID;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    e = mixerGetLineControlsA(reinterpret_cast<HMIXEROBJ>(mixer), &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE);
    if (e != MMSYSERR_NOERROR) {
        write_message("Error #%d calling mixerGetLineControls()\n", int(e));
        return;
    }
    write_message("Mixercontrol: %s\n", show_text(control.szName, shown, sizeof shown));

    MIXERCONTROLDETAILS_UNSIGNED value = {mixer_volume_value(volume)};
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = control.dwControlID;
    details.cChannels = 1;
    details.cMultipleItems = 0;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    e = mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &details, MIXER_SETCONTROLDETAILSF_VALUE);
    if (e == MMSYSERR_NOERROR) return;
    write_message("Error #%d calling mixerSetControlDetails() %sWill have to use windows application volume control.\n",
                  int(e), set_details_reason(e));
}

}  // namespace

void apply_volume() {
    MMRESULT e = set_stream_volume(stream_volume_word(player_state.volume));
    if (e == MMSYSERR_NOERROR) return;
    write_message("Cannot set volume via midi...%s", stream_volume_reason(e));

    e = mixerOpen(&player_state.mixer_handle, player_state.device_id, 0, 0, MIXER_OBJECTF_MIXER);
    if (e != MMSYSERR_NOERROR) {
        write_message("ERROR: Can't open Mixer Device! -- %08X\n%s", unsigned(e), mixer_open_reason(e));
        return;
    }
    list_destinations(player_state.mixer_handle);
    set_first_destination(player_state.mixer_handle, player_state.volume);
    // Each fallback opens the mixer anew; close it rather than leak one per command.
    mixerClose(player_state.mixer_handle);
}
