// Opening the file a device writes to without ever waiting for a reader.
#include "platform/linux/base/device_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

int open_device_file(const char* path, int flags, mode_t mode) {
    int fd = open(path, flags | O_NONBLOCK, mode);
    if (fd < 0) return -1;
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

const char* device_file_error(int error) {
    // A write-only open without waiting gives ENXIO for a FIFO that no
    // process reads (and for a device file with no device behind it).
    return error == ENXIO ? "no process reads it, or no device is behind it" : strerror(error);
}

}  // namespace platform
