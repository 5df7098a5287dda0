// A scripted stand-in for the platform's volume and mixer calls: a test says
// what each call returns and which lines and controls the mixer has, and reads
// back the arguments every call received, in order.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace scripted {

struct Destination {
    std::string name;
    DWORD line_id = 0;
    MMRESULT query = MMSYSERR_NOERROR;  // what a query of this destination returns
};

struct Script {
    MMRESULT set_volume = MMSYSERR_NOERROR;
    MMRESULT open = MMSYSERR_NOERROR;
    HMIXER opened_handle = reinterpret_cast<HMIXER>(0x4D58);
    MMRESULT caps = MMSYSERR_NOERROR;
    std::vector<Destination> destinations;  // cDestinations is their count
    MMRESULT controls = MMSYSERR_NOERROR;
    std::string control_name = "Master Volume";
    DWORD control_id = 0;
    MMRESULT set_details = MMSYSERR_NOERROR;
};

// One call as received. Fields a call does not have stay 0.
struct Call {
    std::string name;        // the platform's name of the call
    uintptr_t handle = 0;    // HMIDIOUT, HMIXER, HMIXEROBJ or mixer id, as a number
    DWORD value = 0;         // midiOutSetVolume: the volume word; mixerSetControlDetails: the mixer value
    UINT id = 0;             // mixerOpen: mixer number
    DWORD_PTR callback = 0, instance = 0;
    DWORD flags = 0;
    UINT size = 0;           // mixerGetDevCapsA: the size argument
    DWORD cb_struct = 0;     // the record's cbStruct
    DWORD destination = 0, source = 0;  // mixerGetLineInfoA
    DWORD line_id = 0, control_type = 0, c_controls = 0, cb_mxctrl = 0;  // mixerGetLineControlsA
    bool has_record = false;                // pamxctrl / paDetails given
    DWORD control_id = 0, c_channels = 0, c_multiple_items = 0, cb_details = 0;  // mixerSetControlDetails
};

// The script the calls follow and the calls received; reset() clears both.
Script& script();
std::vector<Call>& calls();
void reset();

// Only the names of the calls, in order: "mixerOpen mixerGetDevCapsA ...".
std::string call_names();

}  // namespace scripted
