// Opening the file a device writes to (a trace, a WAV rendering) without ever
// waiting: a FIFO that no process reads would hold open(2) until one came.
#pragma once

#include <sys/types.h>

namespace platform {

// open(2) for writing with the given flags and mode, except that it never
// waits: a FIFO that no process has open for reading is refused at once
// (ENXIO), and so is a device file that would wait for its hardware. What
// opens is left in blocking mode, as open(2) would have given it. -1 and
// errno on a failure.
int open_device_file(const char* path, int flags, mode_t mode);

// Why open_device_file failed, for a line on standard error: strerror's text,
// or for a FIFO that nothing reads, that.
const char* device_file_error(int error);

}  // namespace platform
