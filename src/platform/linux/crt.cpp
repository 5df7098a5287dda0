#include "platform/linux/crt.h"

#include <unistd.h>

int _fileno(FILE* stream) { return fileno(stream); }

int _setmode(int fd, int mode) {
    // There is no text mode to leave: every descriptor is binary already.
    if (fd < 0 || (mode != _O_BINARY && mode != _O_TEXT)) return -1;
    return _O_BINARY;
}
