// Runs the track merger over an in-memory file the way a pass does: the image
// in one exactly-sized heap block (so AddressSanitizer sees any read past it),
// the Standard MIDI File found in it, the track table built from that,
// last_event_time reset, and fill_events called on a 24576-byte buffer until
// it places nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <vector>

#include "playback/file_image.h"
#include "playback/track_merger.h"
#include "state/player_state.h"
#include "support/smf_writer.h"

namespace smf {

// One 12-byte stream record, decoded.
struct Record {
    uint32_t delta;
    uint32_t stream;
    uint32_t event;
    bool operator==(const Record&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Record& r) {
    return out << std::hex << "(0x" << r.delta << ", " << r.stream << ", 0x" << r.event << ")" << std::dec;
}

inline uint32_t little_endian_word(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A short message's event word, and a tempo record's.
inline uint32_t short_event(uint8_t status, uint8_t first, uint8_t second = 0) {
    return status | uint32_t(first) << 8 | uint32_t(second) << 16;
}
inline uint32_t tempo_event(uint32_t microseconds_per_quarter) { return 0x01000000 | microseconds_per_quarter; }

// Sets the length field of the chunk that starts at byte offset `at`.
inline void set_chunk_length(Bytes& file, size_t at, uint32_t length) {
    file[at + 4] = uint8_t(length >> 24);
    file[at + 5] = uint8_t(length >> 16);
    file[at + 6] = uint8_t(length >> 8);
    file[at + 7] = uint8_t(length);
}

class MergeRun {
public:
    explicit MergeRun(const Bytes& file) : size_(file.size()) {
        image_ = static_cast<uint8_t*>(malloc(size_ ? size_ : 1));
        if (size_) memcpy(image_, file.data(), size_);
        size_t smf_size = 0;
        const uint8_t* smf = size_ >= smf_header_bytes ? find_standard_midi_file(image_, size_, &smf_size) : nullptr;
        if (smf) tracks_ = build_track_table(smf, smf_size, &track_count_);
        is_midi_ = smf != nullptr;
        player_state.last_event_time = 0;
    }
    ~MergeRun() {
        free(tracks_);
        free(image_);
    }
    MergeRun(const MergeRun&) = delete;
    MergeRun& operator=(const MergeRun&) = delete;

    // Whether the image holds a Standard MIDI File; the pass refuses it if not
    // (and then no call of fill or drain may be made).
    bool is_midi() const { return is_midi_; }
    uint32_t track_count() const { return track_count_; }
    TrackCursor* tracks() const { return tracks_; }
    const uint8_t* image() const { return image_; }
    uint8_t* buffer() { return buffer_.data(); }

    // One call of fill_events; the records it placed. Checks what every call
    // must keep: a whole number of records, at most 511, nothing written
    // past them.
    std::vector<Record> fill() {
        std::vector<Record> records;
        memset(buffer_.data(), 0xA5, buffer_.size());
        uint32_t bytes = 0xDEADBEEF;
        EXPECT_EQ(fill_events(tracks_, track_count_, buffer_.data(), &bytes), 1);
        EXPECT_EQ(bytes % record_bytes, 0u);
        EXPECT_LE(bytes, max_records_per_fill * record_bytes);
        if (bytes % record_bytes || bytes > max_records_per_fill * record_bytes) return records;
        for (uint32_t at = bytes; at < buffer_.size(); ++at)
            if (buffer_[at] != 0xA5) {
                ADD_FAILURE() << "byte " << at << " written past the " << bytes << " bytes placed";
                break;
            }
        for (uint32_t at = 0; at < bytes; at += record_bytes) {
            const uint8_t* r = buffer_.data() + at;
            records.push_back({little_endian_word(r), little_endian_word(r + 4), little_endian_word(r + 8)});
        }
        return records;
    }

    // Calls fill_events until it places nothing; the records of every call in
    // order. A merge needing more calls than the image could feed fails.
    std::vector<Record> drain() {
        std::vector<Record> all;
        const size_t call_bound = size_ / 2 / max_records_per_fill + 2;
        for (size_t call = 0; call < call_bound; ++call) {
            std::vector<Record> records = fill();
            if (records.empty()) return all;
            all.insert(all.end(), records.begin(), records.end());
        }
        ADD_FAILURE() << "the merge did not finish within " << call_bound << " calls";
        return all;
    }

private:
    size_t size_;
    uint8_t* image_ = nullptr;
    TrackCursor* tracks_ = nullptr;
    uint32_t track_count_ = 0;
    bool is_midi_ = false;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(event_buffer_bytes);
};

}  // namespace smf
