#include "playback/track_merger.h"

namespace {

// Decodes a variable-length quantity at p (only the low 32 bits of a longer
// value count) and moves p past it. False when it runs past end.
bool read_quantity(const uint8_t*& p, const uint8_t* end, uint32_t& value) {
    value = 0;
    for (;;) {
        if (p >= end) return false;
        uint8_t byte = *p++;
        value = (value << 7) | (byte & 0x7F);
        if (!(byte & 0x80)) return true;
    }
}

// Skips `length` bytes at p. False when they run past end.
bool skip(const uint8_t*& p, const uint8_t* end, uint32_t length) {
    if (static_cast<size_t>(end - p) < length) return false;
    p += length;
    return true;
}

// An event cut off by the chunk's end ends the track at its start: nothing
// after it is read, and the track is left cut off there.
void finish_track(TrackCursor& track) { track.chunk_end = track.cursor; }

// The candidate time of the track's next event; false when the track has
// ended (End of Track next, or nothing complete left in its chunk).
bool next_event_time(const TrackCursor& track, uint32_t& when) {
    const uint8_t* p = track.cursor;
    uint32_t delta;
    if (!read_quantity(p, track.chunk_end, delta)) return false;
    if (p >= track.chunk_end) return false;
    if (track.chunk_end - p >= 2 && p[0] == 0xFF && p[1] == 0x2F) return false;
    when = track.time + delta;
    return true;
}

bool takes_one_data_byte(uint8_t status) {
    uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0;
}

// The data bytes of a system common message: F1 (time code quarter frame)
// and F3 (song select) one, F2 (song position) two; F4, F5, F6 and the
// real-time bytes F8 to FE none.
int system_data_bytes(uint8_t status) {
    if (status == 0xF2) return 2;
    return status == 0xF1 || status == 0xF3 ? 1 : 0;
}

enum class Taken { record, nothing, ended };

// Takes the track's next event, moving its cursor past it. A channel message
// or tempo change yields *word; an event cut off by the chunk's end ends the
// track and yields nothing. A meta event that yields nothing is described in
// *meta when it is given.
Taken take_event(TrackCursor& track, uint32_t& word, TrackEvent* meta = nullptr) {
    const uint8_t* p = track.cursor;
    const uint8_t* end = track.chunk_end;
    uint32_t delta;
    if (!read_quantity(p, end, delta) || p >= end) return Taken::ended;
    track.time += delta;

    uint8_t s = *p++;
    if (s <= 0xEF) {  // a channel message, or data under running status
        uint8_t status = track.running_status;
        uint8_t first = s;
        if (s >= 0x80) {
            status = s;
            if (p >= end) return Taken::ended;
            first = *p++;
        }
        uint8_t second = 0;
        if (!takes_one_data_byte(status)) {
            if (p >= end) return Taken::ended;
            second = *p++;
        }
        track.running_status = status;
        track.cursor = p;
        word = status | (uint32_t(first) << 8) | (uint32_t(second) << 16);
        return Taken::record;
    }
    if (s == 0xFF) {
        if (p >= end) return Taken::ended;
        uint8_t type = *p++;
        uint32_t length;
        if (!read_quantity(p, end, length) || !skip(p, end, length)) return Taken::ended;
        track.cursor = p;
        // A tempo is three bytes, most significant first. A Set Tempo of
        // another length says no tempo: it is stepped over like any other
        // meta event.
        if (type != 0x51 || length != 3) {
            if (meta) *meta = {false, 0, true, type, p - length, length};
            return Taken::nothing;
        }
        word = (uint32_t(MEVT_TEMPO) << 24) | (uint32_t(p[-3]) << 16) | (uint32_t(p[-2]) << 8) | p[-1];
        return Taken::record;
    }
    if (s == 0xF0 || s == 0xF7) {
        uint32_t length;
        if (!read_quantity(p, end, length) || !skip(p, end, length)) return Taken::ended;
        track.cursor = p;
        return Taken::nothing;
    }
    // A system common or real-time message, which a careless writer left in
    // the file: stepped over with the data bytes the MIDI standard gives it,
    // each taken only while below 0x80 (a status byte where a data byte
    // should be ends the message there). One cut off by the chunk's end ends
    // the track there, as any other event would.
    int data = system_data_bytes(s);
    for (; data > 0 && p < end && *p < 0x80; --data) ++p;
    if (data > 0 && p >= end) return Taken::ended;
    track.cursor = p;
    return Taken::nothing;
}

// Where the track ends: at the delta time its cursor points at when that
// delta is whole (the End of Track's, or that of an event cut off by the
// chunk's end), else at the time it has reached.
uint32_t end_time(const TrackCursor& track) {
    const uint8_t* p = track.cursor;
    uint32_t delta;
    return read_quantity(p, track.chunk_end, delta) ? track.time + delta : track.time;
}

// Places one record at the buffer's given index and makes its time the last
// event time.
void place(uint8_t* buffer, uint32_t index, uint32_t time, uint32_t word) {
    uint8_t* record = buffer + index * record_bytes;
    const uint32_t words[3] = {time - player_state.last_event_time, 0, word};
    for (int w = 0; w < 3; ++w)
        for (int b = 0; b < 4; ++b) record[w * 4 + b] = uint8_t(words[w] >> (8 * b));
    player_state.last_event_time = time;
}

// The merge's heap (TrackCursor::heap_track, merge_heap_size): the track of
// the earliest next event at the top, the lower track first on equal times,
// so the heap's top is the track a scan of every track would choose: strictly
// earlier replaces, the first candidate whatever its time.
bool goes_before(const TrackCursor* tracks, uint32_t a, uint32_t b) {
    uint32_t ta = tracks[a].next_time, tb = tracks[b].next_time;
    return ta < tb || (ta == tb && a < b);
}

// Moves heap entry i down until neither child goes before it.
void sift_down(TrackCursor* tracks, uint32_t i) {
    const uint32_t size = tracks[0].merge_heap_size - 1;
    const uint32_t track = tracks[i].heap_track;
    for (;;) {
        uint32_t child = 2 * i + 1;
        if (child >= size) break;
        if (child + 1 < size && goes_before(tracks, tracks[child + 1].heap_track, tracks[child].heap_track)) ++child;
        if (!goes_before(tracks, tracks[child].heap_track, track)) break;
        tracks[i].heap_track = tracks[child].heap_track;
        i = child;
    }
    tracks[i].heap_track = track;
}

// Puts every track that has an event left into the heap, in time order.
void build_heap(TrackCursor* tracks, uint32_t track_count) {
    uint32_t size = 0;
    for (uint32_t i = 0; i < track_count; ++i) {
        if (next_event_time(tracks[i], tracks[i].next_time))
            tracks[size++].heap_track = i;
        else if (track_cut_off(tracks[i]))
            tracks[0].merge_found_cut = true;
    }
    tracks[0].merge_heap_size = size + 1;
    for (uint32_t i = size / 2; i-- > 0;) sift_down(tracks, i);
}

}  // namespace

bool track_cut_off(const TrackCursor& track) {
    const uint8_t* p = track.cursor;
    uint32_t delta;
    return !read_quantity(p, track.chunk_end, delta) || p >= track.chunk_end;
}

int fill_events(TrackCursor* tracks, uint32_t track_count, uint8_t* buffer, uint32_t* byte_count) {
    if (!tracks || !buffer || !byte_count) return 0;
    *byte_count = 0;
    uint32_t records = 0;
    if (track_count != 0 && tracks[0].merge_heap_size == 0) build_heap(tracks, track_count);

    while (track_count != 0 && records < max_records_per_fill) {
        if (tracks[0].merge_heap_size == 1) {
            // Every track has ended. When the latest end lies after the last
            // record, a closing no-op carries the stream to it; once placed,
            // it is the last record, and the next call finds nothing to do.
            uint32_t latest = 0;
            for (uint32_t i = 0; i < track_count; ++i) {
                uint32_t end = end_time(tracks[i]);
                if (end > latest) latest = end;
            }
            if (latest > player_state.last_event_time) place(buffer, records++, latest, uint32_t(MEVT_NOP) << 24);
            break;
        }

        // The earliest event, the lowest track on a tie, is at the heap's top.
        TrackCursor& best = tracks[tracks[0].heap_track];
        uint32_t word = 0;
        switch (take_event(best, word)) {
        case Taken::ended:
            finish_track(best);
            break;
        case Taken::nothing:
            break;
        case Taken::record:
            place(buffer, records++, best.time, word);
            break;
        }
        // The track's next event takes its place at the top, or the last
        // entry does once the track has ended; either goes down to its place.
        uint32_t& size = tracks[0].merge_heap_size;
        if (!next_event_time(best, best.next_time)) {
            if (track_cut_off(best)) tracks[0].merge_found_cut = true;
            tracks[0].heap_track = tracks[--size - 1].heap_track;
        }
        sift_down(tracks, 0);
    }
    *byte_count = records * record_bytes;
    return 1;
}

bool track_next_time(const TrackCursor& track, uint32_t* when) { return next_event_time(track, *when); }

bool take_track_event(TrackCursor& track, TrackEvent* event) {
    uint32_t when;
    if (!next_event_time(track, when)) return false;
    *event = {};
    switch (take_event(track, event->word, event)) {
    case Taken::ended:
        finish_track(track);
        return false;
    case Taken::nothing:
        return true;
    case Taken::record:
        event->record = true;
        return true;
    }
    return true;
}

uint32_t track_end_time(const TrackCursor& track) { return end_time(track); }
