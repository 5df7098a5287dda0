// Placeholder until the devices land.
#include "platform/linux/midi_device.h"

namespace platform {
MidiDevice* device0(MMRESULT* error) {
    *error = MMSYSERR_NODRIVER;
    return nullptr;
}
void shut_down_devices() {}
}  // namespace platform
