// The layer's own lines on standard error (layer_lines.h).
#include "platform/linux/base/layer_lines.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace platform {

namespace {

std::atomic<LineWriter> writer{nullptr};

}  // namespace

void set_line_writer(LineWriter w) { writer.store(w); }

LineWriter line_writer() { return writer.load(); }

void write_line(const char* format, ...) {
    va_list values, again;
    va_start(values, format);
    va_copy(again, values);
    int length = vsnprintf(nullptr, 0, format, values);
    va_end(values);
    std::string line(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    if (line.empty()) return;
    if (LineWriter w = writer.load()) {
        w(line.c_str());
        return;
    }
    fputs(line.c_str(), stderr);
    fflush(stderr);
}

}  // namespace platform
