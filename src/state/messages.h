// Messages on standard error: the player's one writer to it. The threads hand
// finished messages to a writer thread through a bounded buffer and go on at
// once; standard error that is not read never holds up playback, the control
// channel or the exit. A message that finds the buffer full is dropped whole,
// and the number dropped is said in one line before the next message that fits.
#pragma once

#include <cstddef>

#if defined(__GNUC__)
#define SMF_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define SMF_PRINTF_FORMAT
#endif

// Bytes the buffer holds: room for the longest message (a name of 65407 bytes
// and its words) several times over.
constexpr size_t message_buffer_bytes = 256 * 1024;

// Starts the writer thread; the entry calls it before any other thread starts.
// Until then (and in tests that call the player's procedures directly, or if
// the thread cannot start) each message is written at once by its own thread.
void start_message_writer();

// Formats the message and hands it over whole, so that the other thread's
// messages never land inside it.
void write_message(const char* format, ...) SMF_PRINTF_FORMAT;

// A fixed text, handed over the same way.
void write_text(const char* text);

// Waits until every message handed over has been written, for at most the
// given time; false if some are still waiting (nobody reads standard error).
bool wait_messages_written(unsigned long milliseconds);

// Outside text (a file name, a device's or a mixer line's name) as the
// messages show it, so that it can neither drive the terminal nor start a
// line of its own: a control character (0x01 to 0x1F, 0x7F; on Linux also
// the C1 controls U+0080 to U+009F) is shown escaped, as `\n`, `\r`, `\t` or
// `\xHH`, and so is each byte that is not part of valid UTF-8 (on Linux, whose
// names are bytes; on Windows names are in the ANSI code page and only the
// control characters are escaped). Everything else, a backslash included,
// is shown as it is. Writes at most size bytes, zero included, into out and
// returns out: a longer result is cut after a whole character and ends
// "...". A name of the control channel shown whole takes shown_name_bytes.
constexpr size_t shown_name_bytes = 65535;
const char* show_text(const char* text, char* out, size_t size);

// A line the Linux layer or the sound module writes (why device 0 cannot be
// opened, a file that cannot be written): its own line end kept, everything
// else shown as show_text shows outside text; then handed over as
// write_text does.
void write_layer_line(const char* line);
