#include "platform/linux/crt.h"

#include <csignal>

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

}  // namespace

int _fileno(FILE* stream) { return fileno(stream); }

int _setmode(int fd, int mode) {
    // There is no text mode to leave: every descriptor is binary already.
    if (fd < 0 || (mode != _O_BINARY && mode != _O_TEXT)) return -1;
    return _O_BINARY;
}
