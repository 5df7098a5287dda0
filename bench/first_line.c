// The start-up floor: the least a process of this kind (C++, linked with
// libstdc++ like the player) takes from its spawn to a first trace line. It
// opens the trace that SMFSTREAM_DEVICE names (trace:PATH), writes the lines a
// stream's start writes, with a first record, and ends.
//
// Usage (as the player is run): SMFSTREAM_DEVICE=trace:PATH first_line VOLUME FILE
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

int main() {
    const char* setting = getenv("SMFSTREAM_DEVICE");
    std::string value = setting ? setting : "";
    if (value.compare(0, 6, "trace:") != 0) return 2;
    int fd = open(value.c_str() + 6, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    for (std::string line : {"open\n", "restart\n", "ev 0 0 0 00000000\n"})
        if (write(fd, line.data(), line.size()) != ssize_t(line.size())) return 1;
    return 0;
}
