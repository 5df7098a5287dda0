// Reads the trace device's file: one line per happening.
//   open | timediv N | restart | done | reset | close | volume WORD
//   ev TICK DUE_US AT_US WORD
// Fields a later version adds at the end of a line are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

struct TraceLine {
    enum Kind { open, timediv, restart, done, reset, close, volume, ev, unknown };
    Kind kind = unknown;
    uint64_t value = 0;  // timediv: N; volume: WORD
    uint64_t tick = 0;   // ev
    int64_t due_us = 0;
    int64_t at_us = 0;
    uint32_t word = 0;
    std::string text;    // the whole line
};

std::vector<TraceLine> parse_trace(const std::string& text);
std::vector<TraceLine> read_trace(const std::string& path);

// The whole file as text ("" when it does not exist).
std::string read_text(const std::string& path);

// One stream from its `open` line up to (not including) the next `open`,
// without the `volume` lines.
struct TraceStream {
    std::vector<TraceLine> lines;
    std::vector<TraceLine> events;  // its ev lines
    uint64_t timediv = 0;
    bool restarted = false, reset = false, closed = false;
    size_t done = 0;  // headers given back
};

std::vector<TraceStream> trace_streams(const std::vector<TraceLine>& lines);

// Only the kind of each line, by the trace's own words, for comparing shapes:
// "open timediv restart ev ev done reset close".
std::string trace_shape(const std::vector<TraceLine>& lines, bool with_events = true);

}  // namespace test
