// The MIDI stream device on device 0.
//
// A stream owns a queue of submitted headers and a player thread. The thread
// reads the front header's 12-byte records one by one, works out when each is
// due on one absolute timeline that starts at midiStreamRestart (or, at a
// restart right after another stream played through, where that one ended),
// sleeps to that moment on the monotonic clock and hands the record to the device. When
// a header's last record is sent the header is given back: marked done, then
// the callback gets MOM_DONE. A device that keeps its own clock gets each
// record as soon as the thread has it, with its due time, and the header
// comes back when its last record is due.
//
// Locks: the registry's lock, then a stream's lock; a device call may be made
// under them, a callback never is (a program's callback may call the
// stream's own functions).
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/linux/base/midi_device.h"
#include "platform/linux/base/mmsystem.h"
#include "platform/linux/devices/devices.h"
#include "platform/linux/winmm/stream_timeline.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::MidiDevice;
using platform::Pacing;
using platform::StreamObserver;
using platform::StreamTimeline;

// The largest buffer a stream header may declare.
constexpr DWORD largest_stream_buffer = 65536;
// Due times further out than this (about 30 years) are waited for as if
// they were this far: the clock's arithmetic would overflow.
constexpr int64_t longest_wait_us = int64_t(1) << 50;
// A timer wake-up comes late, by a few microseconds on a quiet machine, by
// tens on a busy or virtual one. The player sleeps to a little more than that
// before a record's due time and waits out the rest awake: the stretch it
// waits awake follows how late its wake-ups have come lately (a running
// average, each wake-up counting at most max_counted_lateness), plus a margin,
// within these bounds.
constexpr int64_t first_lateness_us = 50;
constexpr int64_t max_counted_lateness_us = 200;
constexpr int64_t stretch_margin_us = 15;
constexpr int64_t longest_stretch_us = 100;
// The player thread's real-time priority, when the process may have one.
constexpr int player_priority = 20;
// A stream restarted this soon after another played through to its end
// continues that one's timeline: a loop's passes keep the music's time
// however late within it each restart comes, where otherwise every pass would
// add its seam and the player fall behind a device that joins the passes end
// to end. A later restart starts anew: what was due in between would come
// in a burst.
constexpr auto continue_window = std::chrono::milliseconds(5);

struct Stream {
    HMIDISTRM handle = nullptr;
    MidiDevice* device = nullptr;
    StreamObserver* observer = nullptr;  // the device's
    LPMIDICALLBACK callback = nullptr;  // null: no callback
    DWORD_PTR instance = 0;
    pthread_t player{};
    std::shared_ptr<Stream>* player_hold = nullptr;  // the player thread's own reference

    std::mutex mutex;
    std::condition_variable changed;  // queue, playing, closing, timeline or start changed
    // Guarded by mutex:
    std::deque<MIDIHDR*> queue;
    DWORD offset = 0;        // byte offset of the next record in queue.front()
    bool playing = false;    // restarted, not reset since
    bool closing = false;
    uint64_t position = 0;   // absolute tick of the last record sent
    StreamTimeline timeline;
    Clock::time_point start; // time 0 of the timeline
    int64_t wake_lateness_us = first_lateness_us;  // the player's alone

    Clock::duration awake_stretch() const {
        int64_t us = wake_lateness_us + stretch_margin_us;
        return std::chrono::microseconds(us < longest_stretch_us ? us : longest_stretch_us);
    }
    // A timed wait for target has ended at now: learns how late it woke.
    void woke(Clock::time_point target, Clock::time_point now) {
        if (now < target) return;  // woken early by a change, not by the timer
        int64_t late = std::chrono::duration_cast<std::chrono::microseconds>(now - target).count();
        if (late > max_counted_lateness_us) late = max_counted_lateness_us;
        wake_lateness_us += (late - wake_lateness_us) / 8;
    }

    void deliver(UINT message, MIDIHDR* header) const {
        if (callback)
            callback(reinterpret_cast<HMIDIOUT>(handle), message, instance, reinterpret_cast<DWORD_PTR>(header), 0);
    }
};

std::mutex registry_lock;
std::map<uintptr_t, std::shared_ptr<Stream>> registry;  // guarded by registry_lock
uintptr_t last_handle = 0x1000;                          // guarded by registry_lock
// The moment the last stream that played through ended, on the clock's count;
// 0: none since the last restart.
std::atomic<Clock::rep> played_through_end{0};

std::shared_ptr<Stream> find_stream(const void* handle) {
    std::lock_guard<std::mutex> hold(registry_lock);
    auto found = registry.find(reinterpret_cast<uintptr_t>(handle));
    return found == registry.end() ? nullptr : found->second;
}

struct Record {
    DWORD delta;
    DWORD event;
    DWORD next;  // offset of the record after it
};

// The record at offset in the header's recorded bytes; false past the last.
bool read_record(const MIDIHDR* header, DWORD offset, Record* record) {
    uint64_t end = header->dwBytesRecorded;
    if (uint64_t(offset) + 3 * sizeof(DWORD) > end) return false;
    DWORD words[3];
    memcpy(words, header->lpData + offset, sizeof words);
    record->delta = words[0];
    record->event = words[2];
    uint64_t next = uint64_t(offset) + sizeof words;
    // A long record's parameters follow it, padded to whole words.
    if (words[2] & MEVT_F_LONG) next += (uint64_t(MEVT_EVENTPARM(words[2])) + 3) & ~uint64_t(3);
    record->next = next > end ? DWORD(end) : DWORD(next);
    return true;
}

void give_back(Stream& s, MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~DWORD(MHDR_INQUEUE)) | MHDR_DONE;
    s.observer->header_done();
}

void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Wake-ups as close to their deadline as the system allows: no timer slack,
// and, where the process may have it, a real-time priority, so that a busy
// machine does not hold a due record back behind other work. A device that
// takes records as they are queued and has no clock of its own (trace-fast)
// waits for nothing: no priority.
void make_timely(Pacing pacing) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (pacing == Pacing::as_queued) return;
    sched_param priority{};
    priority.sched_priority = player_priority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
}

// The moment due_us after the stream's start.
Clock::time_point due_point(const Stream& s, int64_t due_us) {
    return s.start + std::chrono::microseconds(due_us < longest_wait_us ? due_us : longest_wait_us);
}

// The moment a record due at due_us (since the stream's start) is sent, by the
// device's pacing: its due time, or now.
Clock::time_point send_time(Pacing pacing, const Stream& s, int64_t due_us, Clock::time_point now) {
    return pacing == Pacing::due_time ? due_point(s, due_us) : now;
}

// Starts the player thread. Where the process may, it starts at its real-time
// priority: a thread that first had to wait for an ordinary time slice would,
// on a busy machine, hold the stream's first record back by milliseconds
// (the seam between one pass and the next).
int start_player(Stream& s, void* (*run)(void*), void* argument) {
    if (s.device->pacing() != Pacing::as_queued) {
        pthread_attr_t attributes;
        sched_param priority{};
        priority.sched_priority = player_priority;
        bool ready = pthread_attr_init(&attributes) == 0;
        if (ready && pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED) == 0 &&
            pthread_attr_setschedpolicy(&attributes, SCHED_FIFO) == 0 &&
            pthread_attr_setschedparam(&attributes, &priority) == 0 &&
            pthread_create(&s.player, &attributes, run, argument) == 0) {
            pthread_attr_destroy(&attributes);
            return 0;
        }
        if (ready) pthread_attr_destroy(&attributes);
    }
    return pthread_create(&s.player, nullptr, run, argument);
}

void play_stream(Stream& s) {
    const Pacing pacing = s.device->pacing();
    make_timely(pacing);
    std::unique_lock<std::mutex> hold(s.mutex);
    while (!s.closing) {
        if (!s.playing || s.queue.empty()) {
            s.changed.wait(hold);
            continue;
        }
        MIDIHDR* header = s.queue.front();
        Record record;
        if (!read_record(header, s.offset, &record)) {
            // A device with its own clock has had every record: the header
            // comes back when the last one is due, as it does from the others.
            if (pacing == Pacing::own_clock) {
                const Clock::time_point due = due_point(s, s.timeline.due_us(s.position));
                if (Clock::now() < due) {
                    s.changed.wait_until(hold, due);
                    continue;
                }
            }
            s.queue.pop_front();
            s.offset = 0;
            give_back(s, header);
            hold.unlock();
            s.deliver(MOM_DONE, header);
            hold.lock();
            continue;
        }
        uint64_t tick = s.position + record.delta;
        int64_t due = s.timeline.due_us(tick);
        Clock::time_point now = Clock::now();
        Clock::time_point deadline = send_time(pacing, s, due, now);
        if (now < deadline) {
            // After any wake-up (a reset, a close, a new tempo, or the
            // time) everything is looked at again.
            Clock::duration stretch = s.awake_stretch();
            if (deadline - now > stretch) {
                Clock::time_point target = deadline - stretch;
                if (s.changed.wait_until(hold, target) == std::cv_status::timeout) s.woke(target, Clock::now());
            } else {
                hold.unlock();
                while (Clock::now() < deadline) relax();
                hold.lock();
            }
            continue;
        }
        s.position = tick;
        s.offset = record.next;
        if (record.event & MEVT_F_LONG) continue;
        int64_t at = std::chrono::duration_cast<std::chrono::microseconds>(now - s.start).count();
        BYTE kind = MEVT_EVENTTYPE(record.event);
        if (kind == MEVT_TEMPO) s.timeline.set_tempo(tick, MEVT_EVENTPARM(record.event));
        // A no-op only holds the stream until its due time; like a tempo it
        // goes to the device, which sounds only short messages.
        if (kind == MEVT_SHORTMSG || kind == MEVT_TEMPO || kind == MEVT_NOP) s.device->play(tick, due, at, record.event);
    }
}

void* run_player(void* argument) {
    auto* hold = static_cast<std::shared_ptr<Stream>*>(argument);
    play_stream(**hold);
    delete hold;
    return nullptr;
}

// A header as winmm takes it: the old, shorter MIDIHDR (up to dwOffset) will
// do, as nothing from dwOffset on is used.
bool header_usable(const MIDIHDR* header, UINT header_size) {
    return header && header_size >= offsetof(MIDIHDR, dwOffset) && header->lpData;
}

// Whether the recorded bytes hold whole records and nothing else, as winmm
// requires of a header queued to a stream.
bool records_fill(const MIDIHDR* header) {
    uint64_t end = header->dwBytesRecorded;
    uint64_t offset = 0;
    while (offset < end) {
        if (offset + 3 * sizeof(DWORD) > end) return false;
        DWORD event;
        memcpy(&event, header->lpData + offset + 2 * sizeof(DWORD), sizeof event);
        offset += 3 * sizeof(DWORD);
        if (event & MEVT_F_LONG) offset += (uint64_t(MEVT_EVENTPARM(event)) + 3) & ~uint64_t(3);
    }
    return offset == end;
}

// Stops a stream where it is, as winmm's midiStreamStop does: all notes off,
// back to tick 0, paused (a later midiStreamRestart starts a new timeline),
// and every queued header marked done and moved to *returned, in queue order,
// for the caller to report once the stream's lock is released.
void stop_stream(Stream& s, std::deque<MIDIHDR*>* returned) {
    // Played through: every header given back and everything in them due.
    if (s.playing && s.queue.empty()) {
        const Clock::time_point end = due_point(s, s.timeline.due_us(s.position));
        played_through_end.store(Clock::now() >= end ? end.time_since_epoch().count() : 0);
    } else if (s.playing) {
        played_through_end.store(0);
    }
    returned->swap(s.queue);
    s.offset = 0;
    s.playing = false;
    s.position = 0;
    s.timeline.rewind();
    s.device->reset();
    for (MIDIHDR* header : *returned) give_back(s, header);
}

}  // namespace

MMRESULT midiStreamOpen(LPHMIDISTRM stream, LPUINT device_id, DWORD streams, DWORD_PTR callback, DWORD_PTR instance,
                        DWORD flags) {
    if (!stream || !device_id || streams != 1) return MMSYSERR_INVALPARAM;
    DWORD kind = flags & CALLBACK_TYPEMASK;
    // There are no windows here: winmm refuses a handle that names none.
    if (kind == CALLBACK_WINDOW && callback) return MMSYSERR_INVALPARAM;
    if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    if (*device_id != 0) return MMSYSERR_BADDEVICEID;
    MMRESULT error = MMSYSERR_NODRIVER;
    MidiDevice* device = platform::device0(&error);
    if (!device) return error;

    auto s = std::make_shared<Stream>();
    s->device = device;
    s->observer = &device->observer();
    if (kind == CALLBACK_FUNCTION) s->callback = reinterpret_cast<LPMIDICALLBACK>(callback);
    s->instance = instance;
    s->player_hold = new std::shared_ptr<Stream>(s);
    if (start_player(*s, run_player, s->player_hold) != 0) {
        delete s->player_hold;
        return MMSYSERR_NOMEM;
    }
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        last_handle += 0x10;
        s->handle = reinterpret_cast<HMIDISTRM>(last_handle);
        registry[last_handle] = s;
    }
    {
        std::lock_guard<std::mutex> hold(s->mutex);
        device->stream_opened();
    }
    *stream = s->handle;
    s->deliver(MOM_OPEN, nullptr);
    return MMSYSERR_NOERROR;
}

MMRESULT midiStreamClose(HMIDISTRM stream) {
    std::shared_ptr<Stream> s;
    std::deque<MIDIHDR*> returned;
    {
        std::lock_guard<std::mutex> hold_registry(registry_lock);
        auto found = registry.find(reinterpret_cast<uintptr_t>(stream));
        if (found == registry.end()) return MMSYSERR_INVALHANDLE;
        s = found->second;
        std::lock_guard<std::mutex> hold(s->mutex);
        // A stream still playing, or holding headers, is stopped first, as
        // winmm does: its notes end and its headers come back before it closes.
        if (s->playing || !s->queue.empty()) stop_stream(*s, &returned);
        s->closing = true;
        registry.erase(found);
    }
    s->changed.notify_all();
    // Once the player thread has ended, no callback can come any more. A
    // callback that closes its own stream cannot wait for itself.
    if (pthread_equal(pthread_self(), s->player))
        pthread_detach(s->player);
    else
        pthread_join(s->player, nullptr);
    for (MIDIHDR* header : returned) s->deliver(MOM_DONE, header);
    {
        std::lock_guard<std::mutex> hold(s->mutex);
        s->observer->closed();
    }
    s->deliver(MOM_CLOSE, nullptr);
    return MMSYSERR_NOERROR;
}

MMRESULT midiStreamProperty(HMIDISTRM stream, LPBYTE property_data, DWORD property) {
    std::shared_ptr<Stream> s = find_stream(stream);
    if (!s) return MMSYSERR_INVALHANDLE;
    // One action and one property, nothing else; winmm answers any other
    // flags, and a missing record, as an invalid parameter.
    DWORD action = property & DWORD(MIDIPROP_SET | MIDIPROP_GET);
    DWORD which = property & ~DWORD(MIDIPROP_SET | MIDIPROP_GET);
    if ((action != DWORD(MIDIPROP_SET) && action != DWORD(MIDIPROP_GET)) ||
        (which != MIDIPROP_TIMEDIV && which != MIDIPROP_TEMPO) || !property_data)
        return MMSYSERR_INVALPARAM;
    bool get = action == DWORD(MIDIPROP_GET);

    // Both records are a size and one value.
    DWORD size, value;
    memcpy(&size, property_data, sizeof size);
    static_assert(sizeof(MIDIPROPTIMEDIV) == 8 && sizeof(MIDIPROPTEMPO) == 8);
    if (size != sizeof(MIDIPROPTIMEDIV)) return MMSYSERR_INVALPARAM;
    memcpy(&value, property_data + sizeof size, sizeof value);

    std::unique_lock<std::mutex> hold(s->mutex);
    if (s->closing) return MMSYSERR_INVALHANDLE;
    if (get) {
        value = which == MIDIPROP_TIMEDIV ? s->timeline.division() : s->timeline.tempo();
        memcpy(property_data + sizeof size, &value, sizeof value);
        return MMSYSERR_NOERROR;
    }
    if (which == MIDIPROP_TIMEDIV) {
        // Any value, but only while the stream is not playing, as winmm.
        if (s->playing) return MMSYSERR_INVALPARAM;
        s->timeline.set_division(s->position, value);
        s->device->time_division(value);
    } else {
        s->timeline.set_tempo(s->position, value);
    }
    hold.unlock();
    s->changed.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT midiStreamRestart(HMIDISTRM stream) {
    std::shared_ptr<Stream> s = find_stream(stream);
    if (!s) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> hold(s->mutex);
        if (s->closing) return MMSYSERR_INVALHANDLE;
        if (s->playing) return MMSYSERR_NOERROR;
        s->playing = true;
        const Clock::time_point now = Clock::now();
        const Clock::time_point ended{Clock::duration(played_through_end.exchange(0))};
        const bool continues = ended.time_since_epoch().count() != 0 && now >= ended && now - ended <= continue_window;
        s->start = continues ? ended : now;
        s->device->restarted();
    }
    s->changed.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT midiStreamOut(HMIDISTRM stream, LPMIDIHDR header, UINT header_size) {
    std::shared_ptr<Stream> s = find_stream(stream);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!header_usable(header, header_size) || header->dwBytesRecorded > header->dwBufferLength ||
        !records_fill(header))
        return MMSYSERR_INVALPARAM;
    {
        std::lock_guard<std::mutex> hold(s->mutex);
        if (s->closing) return MMSYSERR_INVALHANDLE;
        if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
        if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
        header->dwFlags = (header->dwFlags & ~DWORD(MHDR_DONE)) | MHDR_INQUEUE | MHDR_ISSTRM;
        s->queue.push_back(header);
    }
    s->changed.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT out, LPMIDIHDR header, UINT header_size) {
    std::shared_ptr<Stream> s = find_stream(out);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!header_usable(header, header_size) || header->dwBufferLength > largest_stream_buffer)
        return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> hold(s->mutex);
    // A header prepared anew starts neither done nor queued; preparing it
    // again changes nothing.
    if (!(header->dwFlags & MHDR_PREPARED))
        header->dwFlags = (header->dwFlags | MHDR_PREPARED) & ~DWORD(MHDR_DONE | MHDR_INQUEUE);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT out, LPMIDIHDR header, UINT header_size) {
    std::shared_ptr<Stream> s = find_stream(out);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!header_usable(header, header_size)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> hold(s->mutex);
    // A header not prepared is left as it is, whatever its flags say.
    if (!(header->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~DWORD(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT out) {
    std::shared_ptr<Stream> s = find_stream(out);
    if (!s) return MMSYSERR_INVALHANDLE;
    std::deque<MIDIHDR*> returned;
    {
        std::lock_guard<std::mutex> hold(s->mutex);
        if (s->closing) return MMSYSERR_INVALHANDLE;
        stop_stream(*s, &returned);
    }
    s->changed.notify_all();
    for (MIDIHDR* header : returned) s->deliver(MOM_DONE, header);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutSetVolume(HMIDIOUT out, DWORD volume) {
    // A handle value below the device count names a device: 0 is device 0.
    if (reinterpret_cast<uintptr_t>(out) == 0) {
        MMRESULT error = MMSYSERR_NODRIVER;
        MidiDevice* device = platform::device0(&error);
        return device ? device->set_volume(volume) : error;
    }
    std::shared_ptr<Stream> s = find_stream(out);
    if (!s) return MMSYSERR_INVALHANDLE;
    return s->device->set_volume(volume);
}
