// An independent reading of the same files: Debian's midicsv lists every
// event of a file with its track and absolute time. Ordered by time, then
// track, the channel messages and tempo changes of that listing must be the
// merged records, kind, channel, data bytes, ticks and tempo alike.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/merge_run.h"
#include "support/smf_writer.h"

namespace {

using smf::Bytes;
using smf::MergeRun;
using smf::Record;
using smf::Track;

std::string run_command(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
    status = pclose(pipe);
    return out;
}

bool midicsv_installed() {
    int status = 0;
    run_command("command -v midicsv >/dev/null 2>&1", status);
    return status == 0;
}

struct Listed {
    uint32_t time;
    uint32_t track;
    size_t order;  // place in the listing, which keeps each track's file order
    uint32_t event;
};

std::vector<uint32_t> numbers_after(std::istringstream& fields) {
    std::vector<uint32_t> out;
    std::string field;
    while (std::getline(fields, field, ',')) out.push_back(uint32_t(std::stoul(field)));
    return out;
}

// midicsv's listing of a file, as the records a merge should place, the
// closing no-op at the latest End of Track included; *tracks receives the
// header's track count.
std::vector<Record> listing_as_records(const std::string& csv, uint32_t* tracks) {
    std::vector<Listed> listed;
    uint32_t latest_end = 0;
    std::istringstream lines(csv);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string track, time, type;
        std::getline(fields, track, ',');
        std::getline(fields, time, ',');
        std::getline(fields, type, ',');
        type.erase(0, type.find_first_not_of(' '));
        static const std::pair<const char*, uint8_t> kinds[] = {
            {"Note_off_c", 0x80},        {"Note_on_c", 0x90},  {"Poly_aftertouch_c", 0xA0},
            {"Control_c", 0xB0},         {"Program_c", 0xC0},  {"Channel_aftertouch_c", 0xD0},
            {"Pitch_bend_c", 0xE0},
        };
        uint32_t event = 0;
        bool placed = false;
        if (type == "End_track") {
            latest_end = std::max(latest_end, uint32_t(std::stoul(time)));
        } else if (type == "Header") {
            std::vector<uint32_t> n = numbers_after(fields);  // format, tracks, division
            *tracks = n.at(1);
        } else if (type == "Tempo") {
            event = smf::tempo_event(numbers_after(fields).at(0));
            placed = true;
        } else {
            for (const auto& [name, status] : kinds) {
                if (type != name) continue;
                std::vector<uint32_t> n = numbers_after(fields);
                if (status == 0xE0)
                    event = smf::short_event(uint8_t(status | n.at(0)), uint8_t(n.at(1) & 0x7F), uint8_t(n.at(1) >> 7));
                else if (n.size() == 2)
                    event = smf::short_event(uint8_t(status | n.at(0)), uint8_t(n.at(1)));
                else
                    event = smf::short_event(uint8_t(status | n.at(0)), uint8_t(n.at(1)), uint8_t(n.at(2)));
                placed = true;
            }
        }
        if (placed) listed.push_back({uint32_t(std::stoul(time)), uint32_t(std::stoul(track)), listed.size(), event});
    }
    std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return a.time != b.time ? a.time < b.time : a.track < b.track;
    });
    std::vector<Record> records;
    uint32_t last = 0;
    for (const Listed& l : listed) {
        records.push_back({l.time - last, 0, l.event});
        last = l.time;
    }
    if (latest_end > last) records.push_back({latest_end - last, 0, 0x02000000});
    return records;
}

// A track of random but well-formed events: every channel message kind on a
// few channels, running status whenever the previous event was a channel
// message of the same status, tempo changes, text and system exclusive.
Track random_track(std::mt19937& random, int events, uint32_t longest_delta) {
    auto pick = [&](uint32_t below) { return uint32_t(random() % below); };
    Track track;
    uint8_t running = 0;
    for (int i = 0; i < events; ++i) {
        uint32_t delta = pick(4) == 0 ? 0 : pick(longest_delta + 1);
        uint32_t kind = pick(20);
        if (kind == 0) {
            track.tempo(delta, 1 + pick(0xFFFFFF));
            running = 0;
        } else if (kind == 1) {
            track.text(delta, std::string(1 + pick(150), char('a' + pick(26))));  // lengths of one and two bytes
            running = 0;
        } else if (kind == 2) {
            track.sysex(delta, {0x7E, uint8_t(pick(128)), 0x09, 0x01, 0xF7});
            running = 0;
        } else {
            static const uint8_t statuses[] = {0x80, 0x90, 0x90, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0};
            uint8_t status = uint8_t(statuses[pick(sizeof statuses)] | pick(4));
            if (pick(3) != 0 && running) status = running;  // favour runs
            Bytes event;
            if (status != running) event.push_back(status);
            event.push_back(uint8_t(pick(128)));
            uint8_t high = status & 0xF0;
            if (high != 0xC0 && high != 0xD0) event.push_back(uint8_t(pick(128)));
            track.raw(delta, event);
            running = status;
        }
    }
    return track.end();
}

struct CrossCheckCase {
    const char* name;
    Bytes file;
};

std::vector<CrossCheckCase> cross_check_files() {
    std::vector<CrossCheckCase> cases;

    // A conductor track of tempo changes, a melody by running status with
    // program changes between phrases, a bass line at the same ticks.
    Track conductor, melody, bass;
    conductor.text(0, "conductor").tempo(0, 500000).tempo(192, 428571).tempo(384, 600000).tempo(96, 0xFFFFFF).end();
    melody.program(0, 0, 40).note_on(0, 0, 72, 90);
    for (uint8_t k = 0; k < 12; ++k) melody.raw(48, {uint8_t(72 + k), 0}).raw(0, {uint8_t(73 + k), 90});
    melody.program(0, 0, 41).raw(48, {0x90 | 0, 84, 0}).end();
    bass.program(0, 1, 33).raw(0, {0xC1, 34});
    for (uint8_t k = 0; k < 8; ++k) bass.note_on(k ? 24 : 0, 1, uint8_t(36 + k), 100).note_off(72, 1, uint8_t(36 + k));
    bass.end();
    cases.push_back({"conductor_melody_bass", smf::file({conductor, melody, bass}, 96)});

    std::mt19937 random(20261209);
    cases.push_back({"four_random_tracks_over_one_buffer",
                     smf::file({random_track(random, 200, 30), random_track(random, 200, 30),
                                random_track(random, 200, 30), random_track(random, 200, 30)},
                               480)});
    cases.push_back({"two_random_tracks_long_deltas",
                     smf::file({random_track(random, 300, 100000), random_track(random, 300, 3)}, 960)});
    cases.push_back({"one_random_track_format_0", smf::file({random_track(random, 700, 200)}, 120, 0)});
    std::vector<Track> many;
    for (int t = 0; t < 16; ++t) many.push_back(random_track(random, 40, 12));
    cases.push_back({"sixteen_short_random_tracks", smf::file(many, 24)});
    return cases;
}

class MidicsvCrossCheck : public testing::TestWithParam<CrossCheckCase> {
protected:
    void SetUp() override {
        if (!midicsv_installed()) GTEST_SKIP() << "midicsv is not installed (Debian package midicsv); no cross-check";
        char pattern[] = "/tmp/smfstream-midicsv-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        if (!path_.empty()) unlink(path_.c_str());
        if (!folder_.empty()) rmdir(folder_.c_str());
    }
    std::string folder_, path_;
};

TEST_P(MidicsvCrossCheck, MergedRecordsMatchTheListing) {
    const Bytes& file = GetParam().file;
    path_ = folder_ + "/" + GetParam().name + ".mid";
    FILE* out = fopen(path_.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(fwrite(file.data(), 1, file.size(), out), file.size());
    ASSERT_EQ(fclose(out), 0);

    int status = 0;
    std::string csv = run_command("midicsv '" + path_ + "' 2>&1", status);
    ASSERT_EQ(status, 0) << csv;
    uint32_t listed_tracks = 0;
    std::vector<Record> expected = listing_as_records(csv, &listed_tracks);
    ASSERT_GT(expected.size(), 0u);

    MergeRun run(file);
    EXPECT_EQ(run.track_count(), listed_tracks);
    std::vector<Record> merged = run.drain();
    ASSERT_EQ(merged.size(), expected.size());
    for (size_t i = 0; i < merged.size(); ++i) ASSERT_EQ(merged[i], expected[i]) << "record " << i;
}

INSTANTIATE_TEST_SUITE_P(GeneratedFiles, MidicsvCrossCheck, testing::ValuesIn(cross_check_files()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
