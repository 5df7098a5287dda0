#include "state/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "state/player_state.h"

namespace {

// The longest message: a name of name_buffer_size bytes and its words.
constexpr size_t longest_message = name_buffer_size + 64;
static_assert(message_buffer_bytes >= 2 * longest_message);

// The buffer is a ring: bytes [written, queued) wait for the writer; both
// counts only grow, a byte's place is its count modulo the ring's size. The
// writer reads its bytes outside the lock: no thread writes them until
// `written` has passed them.
CRITICAL_SECTION lock;
char ring[message_buffer_bytes];
size_t queued = 0;            // guarded by lock
size_t written = 0;           // guarded by lock
unsigned long dropped = 0;    // guarded by lock: messages that found no room
bool started = false;         // set once, before any other thread runs
HANDLE pending;               // automatic reset: something was queued
HANDLE all_written;           // manual reset: signalled while nothing waits

// Writes the bytes to standard error, as many write calls as it takes; a
// failed write (no reader left) loses the rest.
void write_out(const char* text, size_t size) {
    int fd = _fileno(stderr);
    while (size > 0) {
        unsigned chunk = size < 0x10000 ? unsigned(size) : 0x10000u;
        int n = _write(fd, text, chunk);
        if (n <= 0) return;
        text += n;
        size -= size_t(n);
    }
}

void put(const char* text, size_t size) {
    size_t at = queued % sizeof ring;
    size_t first = size < sizeof ring - at ? size : sizeof ring - at;
    memcpy(ring + at, text, first);
    memcpy(ring, text + first, size - first);
    queued += size;
}

DWORD WINAPI write_messages(LPVOID) {
    for (;;) {
        WaitForSingleObject(pending, INFINITE);
        for (;;) {
            EnterCriticalSection(&lock);
            size_t waiting = queued - written;
            if (waiting == 0) {
                SetEvent(all_written);
                LeaveCriticalSection(&lock);
                break;
            }
            size_t at = written % sizeof ring;
            size_t chunk = waiting < sizeof ring - at ? waiting : sizeof ring - at;
            LeaveCriticalSection(&lock);
            write_out(ring + at, chunk);  // may block: only this thread waits
            EnterCriticalSection(&lock);
            written += chunk;
            LeaveCriticalSection(&lock);
        }
    }
}

// Queues one whole message, or counts it as dropped. Never waits for the
// writer: the lock is only held to copy bytes.
void hand_over(const char* text, size_t size) {
    if (!started) {
        write_out(text, size);
        return;
    }
    EnterCriticalSection(&lock);
    size_t room = sizeof ring - (queued - written);
    char note[96];
    size_t note_size = 0;
    if (dropped) {
        int n = snprintf(note, sizeof note, "smfstream: %lu messages dropped: standard error was not read\n", dropped);
        note_size = n > 0 ? size_t(n) : 0;
    }
    if (note_size + size <= room) {
        put(note, note_size);
        put(text, size);
        dropped = 0;
        ResetEvent(all_written);
        SetEvent(pending);
    } else {
        ++dropped;
    }
    LeaveCriticalSection(&lock);
}

}  // namespace

void start_message_writer() {
    if (started) return;
#ifndef _WIN32
    // Our Linux layer's own lines (why device 0 cannot be opened) go the same
    // way, shown safely, even if the writer cannot start.
    platform::set_line_writer(write_layer_line);
#endif
    InitializeCriticalSection(&lock);
    pending = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    all_written = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (!pending || !all_written) return;
    HANDLE thread = CreateThread(nullptr, 0, write_messages, nullptr, 0, nullptr);
    if (!thread) return;
    CloseHandle(thread);
    started = true;
}

void write_message(const char* format, ...) {
    // On the caller's stack: several threads write messages. (A thread-local
    // buffer this size would be cleared as every thread of the process starts,
    // the player's and the sound module's included.)
    char text[longest_message];
    va_list values;
    va_start(values, format);
    int length = vsnprintf(text, sizeof text, format, values);
    va_end(values);
    if (length < 0) return;
    hand_over(text, static_cast<size_t>(length) < sizeof text ? size_t(length) : sizeof text - 1);
}

void write_text(const char* text) { hand_over(text, strlen(text)); }

bool wait_messages_written(unsigned long milliseconds) {
    if (!started) return true;
    return WaitForSingleObject(all_written, DWORD(milliseconds)) == WAIT_OBJECT_0;
}

namespace {

#ifndef _WIN32
// The length of the valid UTF-8 character at p (at most `left` bytes), 0 when
// none starts there: no overlong form, no surrogate, nothing above U+10FFFF.
size_t utf8_length(const unsigned char* p, size_t left) {
    unsigned char b = p[0];
    size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    if (b < 0xC2 || b > 0xF4 || left < length) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    if ((b == 0xE0 && p[1] < 0xA0) || (b == 0xED && p[1] > 0x9F) || (b == 0xF0 && p[1] < 0x90) ||
        (b == 0xF4 && p[1] > 0x8F))
        return 0;
    return length;
}
#endif

// Writes text shown safely into out (room bytes, zero included); the line
// end of a layer's line is kept when keep_line_end says so.
void show(const char* text, char* out, size_t room, bool keep_line_end) {
    static const char digits[] = "0123456789abcdef";
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t left = strlen(text), at = 0;
    if (keep_line_end && left > 0 && p[left - 1] == '\n') --left;
    while (left > 0) {
        char piece[16];
        size_t size = 0, take = 1;  // bytes shown, bytes of text taken
        unsigned char b = *p;
        bool escaped = b < 0x20 || b == 0x7F;
#ifndef _WIN32
        if (b >= 0x80) {
            size_t character = utf8_length(p, left);
            if (character) take = character;
            escaped = character == 0 || (b == 0xC2 && p[1] < 0xA0);  // invalid, or a C1 control
        }
#endif
        for (size_t i = 0; i < take; ++i) {
            unsigned char e = p[i];
            if (!escaped) {
                piece[size++] = char(e);
                continue;
            }
            piece[size++] = '\\';
            if (e == '\n') piece[size++] = 'n';
            else if (e == '\r') piece[size++] = 'r';
            else if (e == '\t') piece[size++] = 't';
            else piece[size++] = 'x', piece[size++] = digits[e >> 4], piece[size++] = digits[e & 15];
        }
        // Room for this piece, and for "..." should the next not fit.
        if (at + size + 3 + (keep_line_end ? 1 : 0) >= room) {
            if (at + 3 < room) memcpy(out + at, "...", 3), at += 3;
            break;
        }
        memcpy(out + at, piece, size);
        at += size;
        p += take;
        left -= take;
    }
    if (keep_line_end && text[0] && text[strlen(text) - 1] == '\n' && at + 1 < room) out[at++] = '\n';
    out[at] = '\0';
}

}  // namespace

const char* show_text(const char* text, char* out, size_t size) {
    show(text, out, size, false);
    return out;
}

void write_layer_line(const char* line) {
    // Off the stack: the line may come from a thread of an audio driver with
    // a small one. Each byte is shown in at most four.
    size_t room = 4 * strlen(line) + 8;  // and room for "...", the line end and the zero
    if (room > longest_message) room = longest_message;
    char* text = static_cast<char*>(malloc(room));
    char fallback[256];
    show(line, text ? text : fallback, text ? room : sizeof fallback, true);
    write_text(text ? text : fallback);
    free(text);
}

