#include "support/scripted_stream.h"

#include <deque>

#include "state/player_state.h"

namespace scripted_stream {

namespace {
Script the_script;
std::vector<Call> the_calls;
LPMIDICALLBACK callback = nullptr;
DWORD_PTR instance = 0;
std::deque<MIDIHDR*> queued;
int outs = 0;
}  // namespace

Script& script() { return the_script; }
std::vector<Call>& calls() { return the_calls; }

void reset() {
    the_script = Script{};
    the_calls.clear();
    callback = nullptr;
    instance = 0;
    queued.clear();
    outs = 0;
}

std::string call_names() {
    std::string out;
    for (const Call& call : the_calls) out += (out.empty() ? "" : " ") + call.name;
    return out;
}

namespace {

Call& record(const char* name, const void* handle) {
    Call call;
    call.name = name;
    call.handle = reinterpret_cast<uintptr_t>(handle);
    EnterCriticalSection(&player_state.lock);
    call.published = player_state.stream_handle == the_script.handle && player_state.wake_event != nullptr;
    LeaveCriticalSection(&player_state.lock);
    the_calls.push_back(call);
    return the_calls.back();
}

void give_back(MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~DWORD(MHDR_INQUEUE)) | MHDR_DONE;
    if (callback)
        callback(reinterpret_cast<HMIDIOUT>(the_script.handle), MOM_DONE, instance, reinterpret_cast<DWORD_PTR>(header),
                 0);
}

}  // namespace

}  // namespace scripted_stream

using namespace scripted_stream;

MMRESULT midiStreamOpen(LPHMIDISTRM stream, LPUINT device_id, DWORD streams, DWORD_PTR cb, DWORD_PTR inst,
                        DWORD flags) {
    Call& call = record("midiStreamOpen", nullptr);
    call.device = device_id ? *device_id : 0xFFFFFFFF;
    call.streams = streams;
    call.callback = cb;
    call.instance = inst;
    call.flags = flags;
    if (script().open != MMSYSERR_NOERROR) return script().open;
    *stream = script().handle;
    callback = reinterpret_cast<LPMIDICALLBACK>(cb);
    instance = inst;
    // The platform also reports the open; the callback ignores it.
    callback(reinterpret_cast<HMIDIOUT>(script().handle), MOM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT midiStreamProperty(HMIDISTRM stream, LPBYTE data, DWORD property) {
    Call& call = record("midiStreamProperty", stream);
    call.flags = property;
    const auto* division = reinterpret_cast<const MIDIPROPTIMEDIV*>(data);
    call.cb_struct = division->cbStruct;
    call.time_division = division->dwTimeDiv;
    return script().property;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT out, LPMIDIHDR header, UINT size) {
    Call& call = record("midiOutPrepareHeader", out);
    call.header = *header;
    call.header_size = size;
    if (script().prepare != MMSYSERR_NOERROR) return script().prepare;
    if (!(header->dwFlags & MHDR_PREPARED))
        header->dwFlags = (header->dwFlags | MHDR_PREPARED) & ~DWORD(MHDR_DONE | MHDR_INQUEUE);
    return MMSYSERR_NOERROR;
}

MMRESULT midiStreamRestart(HMIDISTRM stream) {
    record("midiStreamRestart", stream);
    return script().restart;
}

MMRESULT midiStreamOut(HMIDISTRM stream, LPMIDIHDR header, UINT size) {
    Call& call = record("midiStreamOut", stream);
    call.header = *header;
    call.header_size = size;
    if (++outs >= script().out_fails_at && script().out != MMSYSERR_NOERROR) return script().out;
    header->dwFlags = (header->dwFlags & ~DWORD(MHDR_DONE)) | MHDR_INQUEUE | MHDR_ISSTRM;
    if (script().on_queue == OnQueue::played) {
        give_back(header);
        return MMSYSERR_NOERROR;
    }
    queued.push_back(header);
    // A name arrives as the control thread hands one over.
    EnterCriticalSection(&player_state.lock);
    size_t length = script().arriving_name.copy(player_state.name_buffer, name_buffer_size - 1);
    player_state.name_buffer[length] = '\0';
    player_state.current_path = player_state.name_buffer;
    ++player_state.names_received;
    if (player_state.wake_event) SetEvent(player_state.wake_event);
    LeaveCriticalSection(&player_state.lock);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT out) {
    record("midiOutReset", out);
    while (!queued.empty()) {
        MIDIHDR* header = queued.front();
        queued.pop_front();
        give_back(header);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT out, LPMIDIHDR header, UINT size) {
    Call& call = record("midiOutUnprepareHeader", out);
    call.header = *header;
    call.header_size = size;
    if (!(header->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~DWORD(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT midiStreamClose(HMIDISTRM stream) {
    record("midiStreamClose", stream);
    // As winmm: a stream closed with buffers queued gives them back first.
    while (!queued.empty()) {
        MIDIHDR* header = queued.front();
        queued.pop_front();
        give_back(header);
    }
    if (callback) callback(reinterpret_cast<HMIDIOUT>(script().handle), MOM_CLOSE, instance, 0, 0);
    callback = nullptr;
    return MMSYSERR_NOERROR;
}
