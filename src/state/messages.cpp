#include "state/messages.h"

#include <cstdarg>
#include <cstdio>

#include "state/player_state.h"

namespace {

// The longest message: a name of name_buffer_size bytes and its words.
constexpr size_t longest_message = name_buffer_size + 64;

}  // namespace

void write_message(const char* format, ...) {
    // Each thread has its own: both threads write messages.
    thread_local char text[longest_message];
    va_list values;
    va_start(values, format);
    int length = vsnprintf(text, sizeof text, format, values);
    va_end(values);
    if (length < 0) return;
    size_t size = static_cast<size_t>(length) < sizeof text ? size_t(length) : sizeof text - 1;
    fwrite(text, 1, size, stderr);
    fflush(stderr);
}
