#include "support/trace_file.h"

#include <fstream>
#include <sstream>

namespace test {

namespace {

TraceLine parse_line(const std::string& line) {
    TraceLine out;
    out.text = line;
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "open") {
        out.kind = TraceLine::open;
    } else if (word == "timediv") {
        if (in >> out.value) out.kind = TraceLine::timediv;
    } else if (word == "restart") {
        out.kind = TraceLine::restart;
    } else if (word == "done") {
        out.kind = TraceLine::done;
    } else if (word == "reset") {
        out.kind = TraceLine::reset;
    } else if (word == "close") {
        out.kind = TraceLine::close;
    } else if (word == "volume") {
        std::string hex;
        if (in >> hex && hex.size() == 8) {
            out.value = std::stoull(hex, nullptr, 16);
            out.kind = TraceLine::volume;
        }
    } else if (word == "ev") {
        std::string hex;
        if (in >> out.tick >> out.due_us >> out.at_us >> hex && hex.size() == 8) {
            out.word = uint32_t(std::stoul(hex, nullptr, 16));
            out.kind = TraceLine::ev;
        }
    }
    return out;
}

const char* kind_name(TraceLine::Kind kind) {
    switch (kind) {
    case TraceLine::open: return "open";
    case TraceLine::timediv: return "timediv";
    case TraceLine::restart: return "restart";
    case TraceLine::done: return "done";
    case TraceLine::reset: return "reset";
    case TraceLine::close: return "close";
    case TraceLine::volume: return "volume";
    case TraceLine::ev: return "ev";
    case TraceLine::unknown: break;
    }
    return "?";
}

}  // namespace

std::vector<TraceLine> parse_trace(const std::string& text) {
    std::vector<TraceLine> out;
    std::istringstream in(text);
    std::string line;
    // A last line without its line end is still being written: left out.
    while (std::getline(in, line)) {
        if (in.eof()) break;
        out.push_back(parse_line(line));
    }
    return out;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<TraceLine> read_trace(const std::string& path) { return parse_trace(read_text(path)); }

std::vector<TraceStream> trace_streams(const std::vector<TraceLine>& lines) {
    std::vector<TraceStream> out;
    for (const TraceLine& line : lines) {
        if (line.kind == TraceLine::open) out.emplace_back();
        // Volume lines are the control thread's, not part of a stream's story.
        if (out.empty() || line.kind == TraceLine::volume) continue;
        TraceStream& stream = out.back();
        stream.lines.push_back(line);
        switch (line.kind) {
        case TraceLine::timediv: stream.timediv = line.value; break;
        case TraceLine::restart: stream.restarted = true; break;
        case TraceLine::done: ++stream.done; break;
        case TraceLine::reset: stream.reset = true; break;
        case TraceLine::close: stream.closed = true; break;
        case TraceLine::ev: stream.events.push_back(line); break;
        default: break;
        }
    }
    return out;
}

std::string trace_shape(const std::vector<TraceLine>& lines, bool with_events) {
    std::string out;
    for (const TraceLine& line : lines) {
        if (!with_events && line.kind == TraceLine::ev) continue;
        if (!out.empty()) out += ' ';
        out += kind_name(line.kind);
    }
    return out;
}

}  // namespace test
