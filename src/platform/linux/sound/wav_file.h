// A 16-bit PCM WAV file written as it grows: after each block of samples the
// header's sizes are rewritten, so the file on disk is a complete, valid WAV
// file at every moment, however the process ends.
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace platform {

constexpr size_t wav_header_size = 44;

// The canonical 44-byte header of a PCM file with data_bytes of samples.
std::array<uint8_t, wav_header_size> wav_header(uint32_t sample_rate, uint16_t channels, uint32_t data_bytes);

class WavFile {
public:
    WavFile() = default;
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;
    ~WavFile();

    // Creates (or empties) the file and writes a header for no samples.
    // false: errno says why.
    bool open(const char* path, uint32_t sample_rate, uint16_t channels);

    // Appends frames of interleaved samples, then brings the header's sizes
    // up to date. Beyond what a WAV file can hold (4 GiB) nothing more is
    // written. false after a write error (the file stays valid up to it;
    // error() says why).
    bool append(const int16_t* samples, size_t frames);

    uint32_t data_bytes() const { return data_bytes_; }
    int error() const { return error_; }

private:
    void fail() {
        failed_ = true;
        error_ = errno;
    }

    int fd_ = -1;
    uint32_t sample_rate_ = 0;
    uint16_t channels_ = 0;
    uint32_t data_bytes_ = 0;
    bool failed_ = false;
    int error_ = 0;  // errno of the write that failed
};

}  // namespace platform
