#include "support/player_run.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <thread>

namespace test {

std::string smfstream_binary() { return SMFSTREAM_BINARY; }

std::vector<uint8_t> volume_command(uint8_t volume, uint8_t b0) { return {b0, volume}; }

std::vector<uint8_t> name_command(const std::string& name) {
    std::vector<uint8_t> out(2 + name.size());
    out[0] = uint8_t(name.size() & 0xFF);
    out[1] = uint8_t(name.size() >> 8);
    std::copy(name.begin(), name.end(), out.begin() + 2);
    return out;
}

PlayerRun::PlayerRun(const TempDir& dir, const std::string& volume, const std::string& path, Timing timing,
                     const std::map<std::string, std::string>& env, const SpawnOptions& base,
                     const std::vector<std::string>& flags)
    : trace_path_(dir.file("trace")) {
    SpawnOptions options = base;
    for (const auto& [name, value] : env) options.env[name] = value;
    if (!options.env.count("SMFSTREAM_DEVICE"))
        options.env["SMFSTREAM_DEVICE"] = (timing == Timing::fast ? "trace-fast:" : "trace:") + trace_path_;
    options.cwd = dir.path();
    std::vector<std::string> argv{smfstream_binary()};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back(volume);
    argv.push_back(path);
    child_ = std::make_unique<ChildProcess>(argv, options);
}

bool PlayerRun::wait_trace(const std::function<bool(const std::vector<TraceLine>&)>& holds, Clock::duration timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (holds(trace())) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

namespace {

// Removes (or keeps only) whole occurrences of the given messages, scanning
// from the front so that each byte belongs to one message at most.
std::string split_messages(const std::string& err, const std::vector<std::string>& paths, bool keep_passes) {
    std::vector<std::string> pass_texts{"buffering...\n", "done.\n"};
    for (const std::string& path : paths) {
        pass_texts.push_back("could not open " + path + "\n");
        pass_texts.push_back("not a Standard MIDI File: " + path + "\n");
        pass_texts.push_back("switch to new file " + path + ".\n");
        pass_texts.push_back("nothing to play in " + path + "\n");
    }
    // A failed platform step: "<call> failed: <decimal code>\n".
    const char* failed_calls[] = {"midiStreamOpen", "midiStreamProperty", "midiOutPrepareHeader", "midiStreamRestart",
                                  "midiStreamOut"};
    auto failed_step_length = [&](size_t at) -> size_t {
        for (const char* call : failed_calls) {
            std::string head = std::string(call) + " failed: ";
            if (err.compare(at, head.size(), head) != 0) continue;
            size_t end = at + head.size();
            while (end < err.size() && isdigit(static_cast<unsigned char>(err[end]))) ++end;
            if (end > at + head.size() && end < err.size() && err[end] == '\n') return end + 1 - at;
        }
        return 0;
    };
    std::string control, passes;
    size_t at = 0;
    while (at < err.size()) {
        bool matched = false;
        for (const std::string& text : pass_texts) {
            if (err.compare(at, text.size(), text) == 0) {
                passes += text;
                at += text.size();
                matched = true;
                break;
            }
        }
        if (size_t length = matched ? 0 : failed_step_length(at)) {
            passes += err.substr(at, length);
            at += length;
            matched = true;
        }
        if (!matched) control += err[at++];
    }
    return keep_passes ? passes : control;
}

}  // namespace

std::string control_messages(const std::string& err, const std::vector<std::string>& paths) {
    return split_messages(err, paths, false);
}

std::string pass_messages(const std::string& err, const std::vector<std::string>& paths) {
    return split_messages(err, paths, true);
}

void TraceFollower::poll() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(std::streamoff(offset_));
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // a line still being written
        offset_ += line.size() + 1;
        auto parsed = parse_trace(line + "\n");
        lines_.insert(lines_.end(), parsed.begin(), parsed.end());
    }
}

}  // namespace test
