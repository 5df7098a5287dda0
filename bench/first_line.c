/* The start-up floor: the least a process takes from its spawn to a first
 * trace line. A bare C program: it opens the trace that SMFSTREAM_DEVICE
 * names (trace:PATH), writes the lines a stream's start writes, with a first
 * record, and ends. Built twice: dynamically linked (first_line: the exec and
 * libc's dynamic loading) and -static (first_line_static: the exec alone).
 *
 * Usage (as the player is run): SMFSTREAM_DEVICE=trace:PATH first_line VOLUME FILE */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void) {
    const char* setting = getenv("SMFSTREAM_DEVICE");
    if (!setting || strncmp(setting, "trace:", 6) != 0) return 2;
    int fd = open(setting + 6, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    static const char* const lines[] = {"open\n", "restart\n", "ev 0 0 0 00000000\n"};
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        size_t size = strlen(lines[i]);
        if (write(fd, lines[i], size) != (ssize_t)size) return 1;
    }
    return 0;
}
