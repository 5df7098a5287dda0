// Merge throughput: records per second of fill_events alone, for files of 1,
// 16, 256 and 4096 tracks holding the same number of events in all (32768),
// so that the growth of the cost with the track count shows, and for the
// format's most, 65,535 tracks of one note each. Each iteration
// merges the whole file, buffer by buffer, from fresh cursors.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "playback/file_image.h"
#include "playback/track_merger.h"
#include "state/player_state.h"
#include "support/smf_writer.h"

namespace {

constexpr uint32_t total_events = 32768;

// Note-on / note-off pairs; track i steps by a delta of its own so that the
// merge interleaves the tracks rather than draining them one after another.
smf::Bytes make_file(uint32_t tracks) {
    std::vector<smf::Track> list(tracks);
    uint32_t per_track = total_events / tracks < 2 ? 2 : total_events / tracks;
    for (uint32_t i = 0; i < tracks; ++i) {
        uint8_t ch = uint8_t(i % 16);
        uint32_t step = 1 + i % 7;
        for (uint32_t e = 0; e < per_track; e += 2) {
            list[i].note_on(step, ch, uint8_t(40 + e % 40), 90);
            list[i].note_off(step, ch, uint8_t(40 + e % 40));
        }
        list[i].end();
    }
    return smf::file(list, 480);
}

void fill_events_by_tracks(benchmark::State& state) {
    const uint32_t tracks = uint32_t(state.range(0));
    smf::Bytes image = make_file(tracks);
    uint32_t count = 0;
    TrackCursor* pristine = build_track_table(image.data(), image.size(), &count);
    if (!pristine || count != tracks) {
        state.SkipWithError("track table");
        return;
    }
    std::vector<TrackCursor> table(count);
    std::vector<uint8_t> buffer(event_buffer_bytes);
    uint64_t records = 0, fills = 0;

    for (auto _ : state) {
        memcpy(table.data(), pristine, sizeof(TrackCursor) * count);
        player_state.last_event_time = 0;
        for (;;) {
            uint32_t bytes = 0;
            fill_events(table.data(), count, buffer.data(), &bytes);
            if (bytes == 0) break;
            records += bytes / record_bytes;
            ++fills;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    free(pristine);
    state.SetItemsProcessed(int64_t(records));
    state.counters["records_per_s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
    // Seconds one full buffer (511 records) takes: the gap in which the device
    // has nothing queued.
    state.counters["s_per_fill"] =
        benchmark::Counter(double(fills), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(fill_events_by_tracks)->Arg(1)->Arg(16)->Arg(256)->Arg(4096)->Arg(65535)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
