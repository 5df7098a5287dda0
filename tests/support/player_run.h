// Runs the smfstream binary for the end-to-end tests: a trace device in a
// temporary directory, the files it plays and the commands a controller sends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/trace_file.h"

namespace test {

// The binary under test.
std::string smfstream_binary();

// A volume command: B0 is 0x00 or 0x80..0xFF.
std::vector<uint8_t> volume_command(uint8_t volume, uint8_t b0 = 0x00);
// A file-name command: length low byte in B0, high byte in B1, then the name.
// The length's low byte must lie between 0x01 and 0x7F for the channel to
// read it as a name.
std::vector<uint8_t> name_command(const std::string& name);

enum class Timing { fast, real_time };

// One run of the player: `smfstream VOLUME PATH` in dir (its working
// directory), with device 0 the trace device writing to dir/trace unless env
// sets SMFSTREAM_DEVICE.
class PlayerRun {
public:
    // options: how the child is started (its standard streams), env added;
    // flags go before the volume.
    PlayerRun(const TempDir& dir, const std::string& volume, const std::string& path, Timing timing = Timing::fast,
              const std::map<std::string, std::string>& env = {}, const SpawnOptions& options = {},
              const std::vector<std::string>& flags = {});

    ChildProcess& child() { return *child_; }
    const std::string& trace_path() const { return trace_path_; }
    std::vector<TraceLine> trace() const { return read_trace(trace_path_); }

    bool send(const std::vector<uint8_t>& bytes) { return child_->write(bytes); }
    // Waits until the trace holds a line that the predicate accepts.
    bool wait_trace(const std::function<bool(const std::vector<TraceLine>&)>& holds, Clock::duration timeout = hang_bound);

private:
    std::string trace_path_;
    std::unique_ptr<ChildProcess> child_;
};

// Standard error without the messages of the main thread (the passes:
// "buffering...", "done.", "CALL failed: CODE", and "could not open P", "not a
// Standard MIDI File: P", "switch to new file P.", "nothing to play in P" for
// each path P given), leaving the control thread's messages in their order. Each
// message is written whole, so the threads' messages interleave only between
// messages.
std::string control_messages(const std::string& err, const std::vector<std::string>& paths);
// The converse: only the main thread's messages, in order.
std::string pass_messages(const std::string& err, const std::vector<std::string>& paths);

// Follows a growing trace file, reading only what is new each time.
class TraceFollower {
public:
    explicit TraceFollower(std::string path) : path_(std::move(path)) {}
    // Reads the complete lines added since the last call and appends them.
    void poll();
    const std::vector<TraceLine>& lines() const { return lines_; }

private:
    std::string path_;
    size_t offset_ = 0;
    std::vector<TraceLine> lines_;
};

}  // namespace test
