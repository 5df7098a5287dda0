// A scripted stand-in for the platform's MIDI stream calls: a test says which
// call fails with which code and what the device does with a queued buffer,
// and reads back every call with its arguments, in order.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace scripted_stream {

// What happens when a buffer is queued.
enum class OnQueue {
    played,        // the device plays it at once: MOM_DONE from within midiStreamOut
    name_arrives,  // it stays queued and a new name arrives, as the control thread hands one over
};

struct Script {
    MMRESULT open = MMSYSERR_NOERROR;
    MMRESULT property = MMSYSERR_NOERROR;
    MMRESULT prepare = MMSYSERR_NOERROR;
    MMRESULT restart = MMSYSERR_NOERROR;
    MMRESULT out = MMSYSERR_NOERROR;
    int out_fails_at = 1;  // the midiStreamOut call (from 1) that returns `out`; later ones too
    OnQueue on_queue = OnQueue::played;
    std::string arriving_name = "next.mid";
    HMIDISTRM handle = reinterpret_cast<HMIDISTRM>(0x5354);
};

struct Call {
    std::string name;
    uintptr_t handle = 0;
    UINT device = 0;                      // midiStreamOpen: *device_id
    DWORD streams = 0;                    // midiStreamOpen
    DWORD_PTR callback = 0, instance = 0; // midiStreamOpen
    DWORD flags = 0;                      // midiStreamOpen, midiStreamProperty
    DWORD cb_struct = 0, time_division = 0;  // midiStreamProperty's record
    UINT header_size = 0;
    MIDIHDR header{};                     // the header as it was passed
    bool published = false;  // stream_handle and wake_event named the open stream and an event
};

Script& script();
std::vector<Call>& calls();
void reset();
std::string call_names();

}  // namespace scripted_stream
