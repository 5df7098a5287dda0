// The interface of what stands behind MIDI output device 0 on Linux. The
// stream (winmm/midi_stream.cpp) owns the timeline and the queue; a device
// only receives what the stream sends, at its due time (a device that keeps
// its own clock: as soon as the stream has it, with that time), and the
// stream's lifecycle happenings. The devices implement it: the trace
// (devices/), the synthesizer and the ALSA port (sound/, in the module).
#pragma once

#include <cstdint>

#include "platform/linux/base/mmsystem.h"

namespace platform {

// How a kind of device takes its records: each at its due time (the player
// thread, at a real-time priority where the process may have one, waits for
// it); each as soon as it is queued, its due time still computed
// (trace-fast, for tests); or, for a device that keeps its own clock and
// plays each record at its due time itself, each as soon as it is queued,
// the header coming back when its last record is due (own_clock).
enum class Pacing { due_time, as_queued, own_clock };

// What a stream does that sounds nothing: a header given back, the stream
// closed. A device that records the stream's life (the trace) watches it;
// the others need not. Called under the stream's lock, like the device's calls.
class StreamObserver {
public:
    virtual ~StreamObserver() = default;
    virtual void header_done() {}
    virtual void closed() {}
};

// Threads: a stream calls play() from its player thread and the rest from
// the threads that call the stream's functions; set_volume() comes from the
// control thread, silence() and finish() from whichever thread ends the
// process. Calls for one stream are never made at the same time (its lock is
// held), but set_volume(), silence() and finish() can come at any moment: a
// device guards its own state. A device never calls back into the stream.
class MidiDevice {
public:
    virtual ~MidiDevice() = default;

    // A stream opened on the device / its time division / midiStreamRestart.
    virtual void stream_opened() {}
    virtual void time_division(DWORD /*division*/) {}
    virtual void restarted() {}

    // One record, at its due time or, for a device that keeps its own clock,
    // as soon as the stream has it. tick: absolute tick since restart; due_us and
    // at_us: microseconds since restart at which it was due and is being sent;
    // word: the record's dwEvent, its top byte the record's kind: MEVT_SHORTMSG
    // (a message to sound), MEVT_TEMPO (the tempo from here on) or MEVT_NOP
    // (a rest the stream has waited out); the last two sound nothing and are
    // passed on so that a trace shows them.
    virtual void play(uint64_t tick, int64_t due_us, int64_t at_us, DWORD word) = 0;

    // midiOutReset, and midiStreamClose of a stream still playing or holding
    // headers (reset()): sustain off and every sounding note released on
    // all 16 channels, each note ending with its own release (the trace also
    // writes its line). The process's exit (silence()): the sound stops, at
    // most a short fade, without a click. Both may come from any thread.
    virtual void reset() { silence(); }
    virtual void silence() = 0;

    // Makes the output complete (a file's header, buffered lines) as the
    // process ends. Called after silence() by ExitProcess.
    virtual void finish() {}

    // midiOutSetVolume; the word holds the left volume in its low 16 bits and
    // the right volume in its high 16 bits.
    virtual MMRESULT set_volume(DWORD /*volume*/) { return MMSYSERR_NOTSUPPORTED; }

    // The device's kind: how it takes its records, and who watches the
    // stream's life (nobody, unless the device records it).
    virtual Pacing pacing() const { return Pacing::due_time; }
    virtual StreamObserver& observer() {
        static StreamObserver nobody;
        return nobody;
    }
};

}  // namespace platform
