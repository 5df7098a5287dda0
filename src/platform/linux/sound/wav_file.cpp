#include "platform/linux/sound/wav_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>

#include "platform/linux/base/device_file.h"

namespace platform {

static_assert(std::endian::native == std::endian::little, "samples are written in the machine's order");

namespace {

void put16(uint8_t* at, uint16_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

void put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = uint8_t(value >> (8 * i));
}

bool write_all(int fd, const uint8_t* bytes, size_t size, off_t* at /* null: append */) {
    while (size > 0) {
        ssize_t done = at ? pwrite(fd, bytes, size, *at) : write(fd, bytes, size);
        if (done < 0 && errno == EINTR) continue;
        if (done == 0) errno = ENOSPC;  // nothing written, nothing said
        if (done <= 0) return false;
        bytes += done;
        size -= size_t(done);
        if (at) *at += done;
    }
    return true;
}

}  // namespace

std::array<uint8_t, wav_header_size> wav_header(uint32_t sample_rate, uint16_t channels, uint32_t data_bytes) {
    std::array<uint8_t, wav_header_size> h{};
    uint8_t* p = h.data();
    const uint16_t block_align = uint16_t(channels * 2);
    p[0] = 'R', p[1] = 'I', p[2] = 'F', p[3] = 'F';
    put32(p + 4, 36 + data_bytes);
    p[8] = 'W', p[9] = 'A', p[10] = 'V', p[11] = 'E';
    p[12] = 'f', p[13] = 'm', p[14] = 't', p[15] = ' ';
    put32(p + 16, 16);
    put16(p + 20, 1);  // PCM
    put16(p + 22, channels);
    put32(p + 24, sample_rate);
    put32(p + 28, sample_rate * block_align);
    put16(p + 32, block_align);
    put16(p + 34, 16);
    p[36] = 'd', p[37] = 'a', p[38] = 't', p[39] = 'a';
    put32(p + 40, data_bytes);
    return h;
}

WavFile::~WavFile() {
    if (fd_ >= 0) close(fd_);
}

bool WavFile::open(const char* path, uint32_t sample_rate, uint16_t channels) {
    fd_ = open_device_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    sample_rate_ = sample_rate;
    channels_ = channels;
    data_bytes_ = 0;
    auto header = wav_header(sample_rate, channels, 0);
    if (!write_all(fd_, header.data(), header.size(), nullptr)) {
        int saved = errno;
        close(fd_);
        fd_ = -1;
        errno = saved;
        return false;
    }
    return true;
}

bool WavFile::append(const int16_t* samples, size_t frames) {
    if (fd_ < 0 || failed_) return false;
    const uint64_t bytes = uint64_t(frames) * channels_ * 2;
    // The RIFF size (36 + data) must fit 32 bits too.
    if (uint64_t(data_bytes_) + bytes > 0xFFFFFFFFull - 36) return true;
    off_t end = off_t(wav_header_size) + data_bytes_;
    if (!write_all(fd_, reinterpret_cast<const uint8_t*>(samples), size_t(bytes), &end)) {
        fail();
        return false;
    }
    data_bytes_ += uint32_t(bytes);
    // Sizes only after the samples they count are in the file.
    uint8_t size[4];
    put32(size, 36 + data_bytes_);
    off_t at = 4;
    bool ok = write_all(fd_, size, 4, &at);
    put32(size, data_bytes_);
    at = 40;
    ok = ok && write_all(fd_, size, 4, &at);
    if (!ok) fail();
    return ok;
}

}  // namespace platform
