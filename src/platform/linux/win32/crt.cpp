#include "platform/linux/win32/crt.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Windows' C runtime reports a write to a pipe whose reader has gone as a
// failed write, and the program goes on; here the same write would raise
// SIGPIPE and end the process. The player must end only from its control
// channel, so the signal is ignored from the start and such writes fail.
const bool broken_pipe_is_an_error = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
}();

// A write past the process's file-size limit (ulimit -f) would raise SIGXFSZ
// and end the process; ignored, the write fails with EFBIG, and the trace or
// the WAV rendering says so once and plays on, as on a full disk.
const bool file_size_limit_is_an_error = [] {
    signal(SIGXFSZ, SIG_IGN);
    return true;
}();

}  // namespace

// A process started with its standard input, output or error closed would
// hand that number to the next file it opens (a trace or WAV file of device
// 0), and the messages or markers meant for the closed stream would land in
// that file. As on Windows, where the runtime keeps the three standard
// numbers for the standard streams, each closed one is opened on the null
// device first, before any static initializer can open a file.
__attribute__((constructor(101))) static void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

int _fileno(FILE* stream) { return fileno(stream); }

int _setmode(int fd, int mode) {
    // There is no text mode to leave: every descriptor is binary already.
    if (fd < 0 || (mode != _O_BINARY && mode != _O_TEXT)) return -1;
    return _O_BINARY;
}

int _write(int fd, const void* buffer, unsigned count) {
    for (;;) {
        ssize_t n = write(fd, buffer, count);
        if (n >= 0 || errno != EINTR) return n < 0 ? -1 : int(n);
    }
}
