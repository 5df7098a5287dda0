// The trace device: writes what the stream does to a file, one line per
// happening, each line one write(2) on a descriptor opened for appending, so
// that a line costs little and lines from several threads never mix.
//
//   open                a stream opened on device 0
//   timediv N           its time division (decimal)
//   restart             midiStreamRestart: time 0 of the timeline
//   ev TICK DUE AT WORD a record played: absolute tick since restart, the
//                       microseconds since restart at which it was due
//                       (rounded down) and at which it was sent (decimal),
//                       its dwEvent (8 lowercase hex digits); tempo records
//                       and no-op records (02000000) included
//   done                a header given back (played, or returned by a reset)
//   reset               midiOutReset, or midiStreamClose stopping a stream
//                       still playing or holding headers (written before the
//                       headers it gives back)
//   close               the stream closed
//   volume WORD         midiOutSetVolume's word, 8 lowercase hex digits (left
//                       volume in the low 16 bits, right in the high 16)
//
// trace:PATH plays in real time; trace-fast:PATH sends each record as soon as
// it is queued, its due time still computed.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/linux/devices/device_kinds.h"
#include "platform/linux/base/device_file.h"
#include "platform/linux/base/layer_lines.h"

namespace platform {

namespace {

class TraceDevice : public MidiDevice, public StreamObserver {
public:
    TraceDevice(int fd, const std::string& path, Pacing pacing) : fd_(fd), path_(path), pacing_(pacing) {}
    ~TraceDevice() override { close(fd_); }

    void stream_opened() override { line("open\n"); }
    void time_division(DWORD division) override { line("timediv %" PRIu32 "\n", division); }
    void restarted() override { line("restart\n"); }
    void header_done() override { line("done\n"); }
    void closed() override { line("close\n"); }
    void play(uint64_t tick, int64_t due_us, int64_t at_us, DWORD word) override {
        line("ev %" PRIu64 " %" PRId64 " %" PRId64 " %08" PRIx32 "\n", tick, due_us, at_us, word);
    }
    void reset() override { line("reset\n"); }
    void silence() override {}
    MMRESULT set_volume(DWORD volume) override {
        line("volume %08" PRIx32 "\n", volume);
        return MMSYSERR_NOERROR;
    }
    Pacing pacing() const override { return pacing_; }
    StreamObserver& observer() override { return *this; }

private:
    template <typename... Values>
    void line(const char* format, Values... values) {
        if constexpr (sizeof...(Values) == 0) {
            put(format, strlen(format));
        } else {
            char text[96];
            int length = snprintf(text, sizeof text, format, values...);
            if (length <= 0) return;
            put(text, static_cast<size_t>(length) < sizeof text ? size_t(length) : sizeof text - 1);
        }
    }

    // A failed write (a full disk, a file-size limit) loses the line and is
    // said once; the stream plays on, and later lines are tried again.
    void put(const char* text, size_t size) {
        while (size > 0) {
            ssize_t done = write(fd_, text, size);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) break;
            text += done;
            size -= size_t(done);
        }
        if (size == 0) return;
        const char* why = strerror(errno);
        if (!write_failure_said_.exchange(true))
            write_line("smfstream: cannot write the trace file %s (%s); the stream plays on\n", path_.c_str(), why);
    }

    int fd_;
    std::string path_;
    Pacing pacing_;
    std::atomic<bool> write_failure_said_{false};
};

}  // namespace

MidiDevice* open_trace_device(const std::string& path, Pacing pacing, MMRESULT* error) {
    int fd = open_device_file(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        write_line("smfstream: no MIDI output: cannot open the trace file %s: %s\n", path.c_str(),
                   device_file_error(errno));
        *error = MMSYSERR_NODRIVER;
        return nullptr;
    }
    return new TraceDevice(fd, path, pacing);
}

}  // namespace platform
