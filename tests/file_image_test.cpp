// Loading: the whole file in one block, where the Standard MIDI File lies in
// it (or that it is none), the two header fields, and the track table of the
// chunk walk, for honest and lying files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "playback/file_image.h"
#include "support/merge_run.h"
#include "support/smf_writer.h"

namespace {

using smf::Bytes;
using smf::MergeRun;
using smf::Track;

// A scratch folder for files the tests write; removed with its files.
class ScratchFolder {
public:
    ScratchFolder() {
        char pattern[] = "/tmp/smfstream-image-XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "";
    }
    ~ScratchFolder() {
        for (const std::string& file : files_) unlink(file.c_str());
        rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string write(const std::string& name, const Bytes& bytes) {
        std::string file = path_ + "/" + name;
        FILE* out = fopen(file.c_str(), "wb");
        if (out) {
            fwrite(bytes.data(), 1, bytes.size(), out);
            fclose(out);
        }
        files_.push_back(file);
        return file;
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

TEST(LoadFileImage, ReadsTheWholeFileIntoOneBlock) {
    ScratchFolder folder;
    Bytes file = smf::file({Track{}.note_on(0, 0, 60, 1).text(1, std::string(3000, 'w')).end()});
    std::string path = folder.write("song.mid", file);
    size_t size = 0;
    uint8_t* image = load_file_image(path.c_str(), &size);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(size, file.size());
    EXPECT_EQ(Bytes(image, image + size), file);
    free(image);
}

TEST(LoadFileImage, RefusesWhatCannotHoldTheHeaderOrIsNoRegularFile) {
    ScratchFolder folder;
    Bytes header = smf::file({});
    ASSERT_EQ(header.size(), smf_header_bytes);
    // Sparse: one byte over the limit, and no memory taken for it.
    std::string big = folder.write("big.mid", header);
    ASSERT_EQ(truncate(big.c_str(), off_t(largest_file_image) + 1), 0);
    struct Case {
        std::string name;
        std::string path;
        bool loads;
        size_t size;  // what *size holds afterwards
    } cases[] = {
        {"missing", folder.path() + "/missing.mid", false, 0},
        {"empty", folder.write("empty.mid", {}), false, 0},
        {"13 bytes", folder.write("short.mid", Bytes(header.begin(), header.end() - 1)), false, 0},
        {"14 bytes", folder.write("header.mid", header), true, smf_header_bytes},
        {"folder", folder.path(), false, 0},
        {"over the limit", big, false, largest_file_image + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t size = 0;
        uint8_t* image = load_file_image(c.path.c_str(), &size);
        EXPECT_EQ(image != nullptr, c.loads);
        EXPECT_EQ(size, c.size);
        free(image);
    }
}

TEST(HeaderFields, AreBigEndianAtOffsets10And12) {
    Bytes file = smf::file({}, smf::smpte_division(25, 40), 1, 0x1234);
    EXPECT_EQ(header_track_count(file.data()), 0x1234);
    EXPECT_EQ(header_time_division(file.data()), 0xE728);
    file = smf::file({}, 0x01E0, 0, 0xFFFF);
    EXPECT_EQ(header_track_count(file.data()), 0xFFFF);
    EXPECT_EQ(header_time_division(file.data()), 0x01E0);
}

// ---------------------------------------------------------------------------
// The chunk walk.

TEST(TrackTable, OneCursorPerChunkAtItsFirstDeltaTime) {
    Bytes file = smf::file({Track{}.note_on(0, 0, 60, 1).end(), Track{}.end(), Track{}.text(3, "abc").end()});
    MergeRun run(file);
    ASSERT_EQ(run.track_count(), 3u);
    const uint8_t* image = run.image();
    size_t at = smf_header_bytes;
    for (uint32_t t = 0; t < 3; ++t) {
        const TrackCursor& track = run.tracks()[t];
        size_t length = size_t(image[at + 4]) << 24 | size_t(image[at + 5]) << 16 | size_t(image[at + 6]) << 8 | image[at + 7];
        EXPECT_EQ(track.chunk_start, image + at) << "track " << t;
        EXPECT_EQ(track.cursor, image + at + 8) << "track " << t;
        EXPECT_EQ(track.chunk_end, image + at + 8 + length) << "track " << t;
        EXPECT_EQ(track.running_status, 0) << "track " << t;
        EXPECT_EQ(track.time, 0u) << "track " << t;
        at += 8 + length;
    }
    EXPECT_EQ(at, file.size());
}

// ---------------------------------------------------------------------------
// Only a Standard MIDI File plays, read as the standard lays it out: what
// users hand the player by mistake is refused; legal layouts play their
// tracks and nothing else.

Bytes chunk(const char* id, const Bytes& data, bool little_endian = false) {
    uint32_t n = uint32_t(data.size());
    Bytes out(id, id + 4);
    Bytes length = little_endian ? Bytes{uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}
                                 : Bytes{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes riff(const char* form, const std::vector<Bytes>& chunks) {
    Bytes body(form, form + 4);
    for (const Bytes& c : chunks) {
        body.insert(body.end(), c.begin(), c.end());
        if (c.size() % 2) body.push_back(0);  // RIFF chunks are padded to an even length
    }
    return chunk("RIFF", body, true);
}

Bytes text_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(StandardMidiFile, LayoutsAreRefusedOrPlayAsTheStandardLaysThemOut) {
    const Track song_track = Track{}.note_on(0, 0, 60, 100).note_off(96, 0, 60).end();
    const Bytes song = smf::file({song_track});
    const std::vector<smf::Record> song_records{{0, 0, smf::short_event(0x90, 60, 100)},
                                                {96, 0, smf::short_event(0x80, 60, 0)}};
    // A track's bytes that would sound if read as one: four loud note-ons.
    const Bytes alien_notes{0x00, 0x90, 0x3C, 0x7F, 0x00, 0x3E, 0x7F, 0x00, 0x40, 0x7F, 0x00, 0x43, 0x7F};
    Bytes random_bytes(20000);
    uint32_t seed = 20261209;
    for (uint8_t& b : random_bytes) b = uint8_t((seed = seed * 1103515245 + 12345) >> 16);

    Bytes header = Bytes(song.begin(), song.begin() + 14);
    Bytes track_chunk = Bytes(song.begin() + 14, song.end());
    auto with_header_length = [&](uint32_t length, size_t extra) {
        Bytes f = header;
        f[4] = uint8_t(length >> 24);
        f[5] = uint8_t(length >> 16);
        f[6] = uint8_t(length >> 8);
        f[7] = uint8_t(length);
        f.insert(f.end(), extra, 0xEE);
        f.insert(f.end(), track_chunk.begin(), track_chunk.end());
        return f;
    };
    Bytes alien_first = header;
    Bytes alien = chunk("XFIH", alien_notes);
    alien_first.insert(alien_first.end(), alien.begin(), alien.end());
    alien_first.insert(alien_first.end(), track_chunk.begin(), track_chunk.end());

    struct Row {
        const char* what;
        Bytes file;
        bool plays;
        std::vector<smf::Record> records;  // when it plays
    } rows[] = {
        {"text", text_of("# smfstream\n\nPlays Standard MIDI Files for a controller.\n"), false, {}},
        {"WAV", riff("WAVE", {chunk("fmt ", Bytes(16, 1), true), chunk("data", Bytes(4000, 0x90), true)}), false, {}},
        {"random bytes", random_bytes, false, {}},
        {"RIFF RMID", riff("RMID", {chunk("DISP", {1, 2, 3}, true), chunk("data", song, true),
                                    chunk("LIST", text_of("INFOnote"), true)}),
         true, song_records},
        {"RIFF RMID without a data chunk", riff("RMID", {chunk("LIST", text_of("INFOnote"), true)}), false, {}},
        {"RIFF RMID whose data is not a MIDI file", riff("RMID", {chunk("data", alien_notes, true)}), false, {}},
        {"RIFF RMID whose data runs past the file",
         [&] {
             Bytes f = riff("RMID", {chunk("data", song, true)});
             f[16] = 0xFF;  // the data chunk's length
             return f;
         }(),
         true, song_records},
        {"alien chunk before the track", alien_first, true, song_records},
        {"header of 10 bytes", with_header_length(10, 4), true, song_records},
        {"header of 4 bytes", with_header_length(4, 0), false, {}},
        {"header longer than the file", with_header_length(0x10000, 0), false, {}},
        {"header alone", header, true, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        MergeRun run(row.file);
        ASSERT_EQ(run.is_midi(), row.plays);
        if (row.plays) {
            EXPECT_EQ(run.drain(), row.records);
        }
    }
}

TEST(StandardMidiFile, OnlyTrackChunksCountTowardTheAnnouncedTracks) {
    // Two tracks announced; an alien chunk between them is stepped over and
    // the third track chunk is not played.
    Bytes file = smf::file({Track{}.note_on(0, 0, 60, 1).end()}, 96, 1, 2);
    for (const Bytes& c : {chunk("XYZW", {0x00, 0x91, 0x3C, 0x7F}), chunk("MTrk", Track{}.note_on(0, 1, 61, 1).end().bytes),
                           chunk("MTrk", Track{}.note_on(0, 2, 62, 1).end().bytes)})
        file.insert(file.end(), c.begin(), c.end());
    MergeRun run(file);
    ASSERT_EQ(run.track_count(), 2u);
    EXPECT_EQ(run.drain(), (std::vector<smf::Record>{{0, 0, smf::short_event(0x90, 60, 1)},
                                                     {0, 0, smf::short_event(0x91, 61, 1)}}));
}

TEST(TrackTable, OnlyTheAnnouncedNumberOfChunksAreTracks) {
    std::vector<Track> tracks(3);
    for (uint8_t t = 0; t < 3; ++t) tracks[t].note_on(0, t, 60, 1).end();
    MergeRun run(smf::file(tracks, 96, 1, 2));
    ASSERT_EQ(run.track_count(), 2u);
    EXPECT_EQ(run.drain().size(), 2u);
}

TEST(TrackTable, AnnouncedTracksBeyondTheChunksPresentAreLeftOut) {
    for (int announced : {3, 100, 0xFFFF}) {
        SCOPED_TRACE(announced);
        MergeRun run(smf::file({Track{}.note_on(0, 0, 60, 1).end(), Track{}.note_on(0, 1, 61, 1).end()}, 96, 1, announced));
        ASSERT_NE(run.tracks(), nullptr);
        EXPECT_EQ(run.track_count(), 2u);
        EXPECT_EQ(run.drain().size(), 2u);
    }
}

TEST(TrackTable, NoTracksGiveAnEmptyTableThatIsNotNull) {
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"announces 0 tracks", smf::file({Track{}.note_on(0, 0, 60, 1).end()}, 96, 1, 0)},
        {"header alone", smf::file({}, 96, 1, 4)},
        {"chunk header cut off", [] {
             Bytes f = smf::file({Track{}.end()}, 96, 1, 1);
             f.resize(smf_header_bytes + 7);
             return f;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MergeRun run(c.file);
        ASSERT_NE(run.tracks(), nullptr);
        EXPECT_EQ(run.track_count(), 0u);
        EXPECT_TRUE(run.fill().empty());
    }
}

TEST(TrackTable, ChunkLengthPastTheImageEndsAtTheImage) {
    Bytes file = smf::file({Track{}.note_on(0, 0, 60, 1), Track{}.note_on(0, 1, 61, 1)});
    smf::set_chunk_length(file, smf_header_bytes, 0xFFFFFFFF);  // the first chunk swallows the rest
    MergeRun run(file);
    ASSERT_EQ(run.track_count(), 1u);
    EXPECT_EQ(run.tracks()[0].chunk_end, run.image() + file.size());
    // The second chunk's bytes are read as the first track's events.
    EXPECT_EQ(run.drain().front(), (smf::Record{0, 0, smf::short_event(0x90, 60, 1)}));
}

TEST(TrackTable, EveryTruncationOfAFileLoadsAndDrains) {
    // A multi-track file cut at every length from the header on: the table
    // holds the chunks whose headers are whole, and the merge finishes.
    std::vector<Track> tracks(3);
    tracks[0].tempo(0, 400000).note_on(0, 0, 60, 1).sysex(5, {1, 2, 3, 0xF7}).note_off(5, 0, 60).end();
    tracks[1].program(0, 1, 5).raw(3, {0x40}).text(2, "name").note_on(1, 1, 62, 9).end();
    tracks[2].raw(0, {0xE2, 0x00, 0x40}).raw(4, {0x10, 0x50}).end();
    Bytes file = smf::file(tracks);
    for (size_t size = smf_header_bytes; size <= file.size(); ++size) {
        SCOPED_TRACE(size);
        MergeRun run(Bytes(file.begin(), file.begin() + long(size)));
        size_t whole_headers = 0;
        for (size_t at = smf_header_bytes; at + 8 <= size && whole_headers < 3; ++whole_headers) {
            at += 8 + (size_t(file[at + 6]) << 8 | file[at + 7]);
        }
        EXPECT_EQ(run.track_count(), whole_headers);
        EXPECT_LE(run.drain().size(), 11u);
    }
}

}  // namespace
