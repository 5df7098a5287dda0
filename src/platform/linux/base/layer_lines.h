// The lines the layer itself writes on standard error: why device 0 cannot
// be opened. Windows' own drivers write nothing there; ours say why, in one
// line each.
//
// The program hands the layer its writer of messages (set_line_writer), so
// that these lines, like its own, never wait for a standard error that nobody
// reads and never land inside one of its messages. Until then (tests that use
// the layer alone) a line is written at once.
#pragma once

#include "platform/linux/base/win_types.h"

namespace platform {

// Takes a whole line, formatted; must not block.
typedef void (*LineWriter)(const char* line);

void set_line_writer(LineWriter writer);
LineWriter line_writer();

// Formats the line and writes it through the writer, or at once.
void write_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
