// The layer's own lines on standard error (layer_lines.h).
#include "platform/linux/layer_lines.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace platform {

namespace {

std::atomic<LineWriter> writer{nullptr};

}  // namespace

void set_line_writer(LineWriter w) { writer.store(w); }

LineWriter line_writer() { return writer.load(); }

void write_line(const char* format, ...) {
    char line[1024];
    va_list values;
    va_start(values, format);
    int length = vsnprintf(line, sizeof line, format, values);
    va_end(values);
    if (length < 0) return;
    if (LineWriter w = writer.load()) {
        w(line);
        return;
    }
    fputs(line, stderr);
    fflush(stderr);
}

}  // namespace platform
