#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_device.h"
#include "platform/linux/devices/devices.h"
#include "platform/platform.h"

namespace {

using namespace std::chrono_literals;

constexpr DWORD tempo_record = DWORD(MEVT_TEMPO) << 24;
constexpr DWORD nop_record = DWORD(MEVT_NOP) << 24;

// A header over its own records (delta, stream id, event; a long record's
// parameter words follow it).
struct Buffer {
    explicit Buffer(std::vector<DWORD> records) : words(std::move(records)) {
        header.lpData = reinterpret_cast<LPSTR>(words.data());
        header.dwBufferLength = DWORD(words.size() * sizeof(DWORD));
        header.dwBytesRecorded = header.dwBufferLength;
    }
    std::vector<DWORD> words;
    MIDIHDR header = {};
};

// Counts what the stream's callback is given.
struct Callbacks {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<UINT, MIDIHDR*>> calls;

    static void CALLBACK record(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
        auto* self = reinterpret_cast<Callbacks*>(instance);
        std::lock_guard<std::mutex> hold(self->mutex);
        self->calls.push_back({message, reinterpret_cast<MIDIHDR*>(param1)});
        self->changed.notify_all();
    }
    size_t count(UINT message) {
        std::lock_guard<std::mutex> hold(mutex);
        size_t n = 0;
        for (auto& call : calls) n += call.first == message;
        return n;
    }
    // Waits (at most 10 s, a hang) until `n` MOM_DONE have come.
    bool wait_done(size_t n) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, 10s, [&] {
            size_t done = 0;
            for (auto& call : calls) done += call.first == MOM_DONE;
            return done >= n;
        });
    }
};

class MidiStream : public ::testing::Test {
protected:
    // On the heap, as are the tests' other locks: the thread sanitizer would
    // take a mutex at a reused stack address for the same one.
    template <typename Kind>
    FakeDevice& use_fake(Kind kind) {
        fake_ = std::make_unique<FakeDevice>(kind);
        platform::use_device0(fake_.get());
        return *fake_;
    }
    void TearDown() override { platform::use_device0(nullptr); }
    std::unique_ptr<FakeDevice> fake_;

    // A stream as midiStreamOpen leaves it.
    static HMIDISTRM open_new_stream(Callbacks* callbacks) {
        HMIDISTRM stream = nullptr;
        UINT device = 0;
        EXPECT_EQ(midiStreamOpen(&stream, &device, 1, reinterpret_cast<DWORD_PTR>(Callbacks::record),
                                 reinterpret_cast<DWORD_PTR>(callbacks), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        return stream;
    }
    HMIDISTRM open_stream(Callbacks* callbacks, DWORD division = 96) {
        HMIDISTRM stream = open_new_stream(callbacks);
        MIDIPROPTIMEDIV property = {sizeof property, division};
        EXPECT_EQ(midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&property), MIDIPROP_SET | MIDIPROP_TIMEDIV),
                  MMSYSERR_NOERROR);
        return stream;
    }
    static HMIDIOUT out(HMIDISTRM stream) { return reinterpret_cast<HMIDIOUT>(stream); }
    static MMRESULT prepare(HMIDISTRM stream, Buffer& b) {
        return midiOutPrepareHeader(out(stream), &b.header, sizeof b.header);
    }
    static MMRESULT unprepare(HMIDISTRM stream, Buffer& b) {
        return midiOutUnprepareHeader(out(stream), &b.header, sizeof b.header);
    }
    static MMRESULT queue(HMIDISTRM stream, Buffer& b) { return midiStreamOut(stream, &b.header, sizeof b.header); }
};

TEST_F(MidiStream, OpenChecksItsArguments) {
    FakeDevice& device = use_fake(false);
    HMIDISTRM stream = nullptr;
    UINT zero = 0, one = 1;
    struct Row {
        const char* what;
        LPHMIDISTRM stream;
        LPUINT device;
        DWORD streams;
        DWORD_PTR callback;
        DWORD flags;
        MMRESULT expected;
    };
    const Row rows[] = {
        {"device 1", &stream, &one, 1, 0, CALLBACK_NULL, MMSYSERR_BADDEVICEID},
        {"two streams", &stream, &zero, 2, 0, CALLBACK_NULL, MMSYSERR_INVALPARAM},
        {"no handle", nullptr, &zero, 1, 0, CALLBACK_NULL, MMSYSERR_INVALPARAM},
        {"no device", &stream, nullptr, 1, 0, CALLBACK_NULL, MMSYSERR_INVALPARAM},
        // No handle names a window here.
        {"a window", &stream, &zero, 1, 0xDEADBEEF, CALLBACK_WINDOW, MMSYSERR_INVALPARAM},
        // Kinds of callback that cannot be delivered here.
        {"the thread's queue", &stream, &zero, 1, 0, CALLBACK_WINDOW, MMSYSERR_INVALFLAG},
        {"an event", &stream, &zero, 1, 0, 0x00050000 /* CALLBACK_EVENT */, MMSYSERR_INVALFLAG},
        // No function to call: the stream opens and reports nothing.
        {"a null function", &stream, &zero, 1, 0, CALLBACK_FUNCTION, MMSYSERR_NOERROR},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(midiStreamOpen(row.stream, row.device, row.streams, row.callback, 0, row.flags), row.expected)
            << row.what;
        if (row.expected == MMSYSERR_NOERROR) {
            EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR) << row.what;
        }
    }
    EXPECT_EQ(device.happenings(), (std::vector<std::string>{"open", "close"}));
}

TEST_F(MidiStream, UnknownAndClosedHandlesAreRefused) {
    use_fake(false);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM closed = open_stream(&callbacks);
    ASSERT_EQ(midiStreamClose(closed), MMSYSERR_NOERROR);
    Buffer b({0, 0, 0x90});
    MIDIPROPTEMPO tempo = {sizeof tempo, 0};
    for (HMIDISTRM stream : {closed, reinterpret_cast<HMIDISTRM>(uintptr_t(0x123457))}) {
        EXPECT_EQ(midiStreamClose(stream), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiStreamRestart(stream), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiStreamOut(stream, &b.header, sizeof b.header), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&tempo), MIDIPROP_GET | MIDIPROP_TEMPO),
                  MMSYSERR_INVALHANDLE);
        EXPECT_EQ(prepare(stream, b), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(unprepare(stream, b), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutReset(out(stream)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutSetVolume(out(stream), 0x1234), MMSYSERR_INVALHANDLE);
    }
}

TEST_F(MidiStream, HeadersAreFlaggedAsTheyGoThroughTheStream) {
    FakeDevice& device = use_fake(false);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks);
    Buffer b({0, 0, 0x00403C90});
    EXPECT_EQ(queue(stream, b), MIDIERR_UNPREPARED);
    ASSERT_EQ(prepare(stream, b), MMSYSERR_NOERROR);
    EXPECT_EQ(b.header.dwFlags, DWORD(MHDR_PREPARED));
    ASSERT_EQ(queue(stream, b), MMSYSERR_NOERROR);
    EXPECT_EQ(b.header.dwFlags, DWORD(MHDR_PREPARED | MHDR_INQUEUE | MHDR_ISSTRM));
    EXPECT_EQ(queue(stream, b), MIDIERR_STILLPLAYING);

    // Paused until restarted: nothing plays, nothing comes back.
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(device.played().empty());
    EXPECT_EQ(callbacks.count(MOM_DONE), 0u);

    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
    ASSERT_TRUE(callbacks.wait_done(1));
    EXPECT_EQ(b.header.dwFlags, DWORD(MHDR_PREPARED | MHDR_DONE | MHDR_ISSTRM));
    EXPECT_EQ(device.played().size(), 1u);
    EXPECT_EQ(unprepare(stream, b), MMSYSERR_NOERROR);
    EXPECT_EQ(b.header.dwFlags & MHDR_PREPARED, 0u);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    EXPECT_EQ(callbacks.count(MOM_OPEN), 1u);
    EXPECT_EQ(callbacks.count(MOM_CLOSE), 1u);
    EXPECT_EQ(callbacks.calls.back().first, UINT(MOM_CLOSE));
    // Closed while still playing: its notes end first.
    EXPECT_EQ(device.happenings(),
              (std::vector<std::string>{"open", "timediv 96", "restart", "ev", "done", "reset", "close"}));
}

// How the header calls answer, the old, shorter MIDIHDR included, on a stream
// that is not playing: what each returns and the flags it leaves.
TEST_F(MidiStream, HeaderCallsAnswerAsWinmm) {
    use_fake(false);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks);
    using Call = MMRESULT (*)(HMIDISTRM, MIDIHDR*, UINT);
    const Call prepare_call = [](HMIDISTRM s, MIDIHDR* h, UINT size) { return midiOutPrepareHeader(out(s), h, size); };
    const Call unprepare_call = [](HMIDISTRM s, MIDIHDR* h, UINT size) {
        return midiOutUnprepareHeader(out(s), h, size);
    };
    const Call out_call = [](HMIDISTRM s, MIDIHDR* h, UINT size) { return midiStreamOut(s, h, size); };
    const UINT old_size = offsetof(MIDIHDR, dwOffset), full = sizeof(MIDIHDR);
    constexpr DWORD P = MHDR_PREPARED, D = MHDR_DONE, Q = MHDR_INQUEUE, S = MHDR_ISSTRM;
    struct Row {
        const char* what;
        Call call;
        UINT size;
        DWORD flags;
        void (*change)(MIDIHDR&);
        MMRESULT expected;
        DWORD flags_after;
    };
    auto same = [](MIDIHDR&) {};
    const Row rows[] = {
        {"prepare, too short", prepare_call, old_size - 1, D, same, MMSYSERR_INVALPARAM, D},
        {"prepare, old size", prepare_call, old_size, D | Q, same, MMSYSERR_NOERROR, P},
        {"prepare, no data", prepare_call, full, 0, [](MIDIHDR& h) { h.lpData = nullptr; }, MMSYSERR_INVALPARAM, 0},
        {"prepare, over 64 KiB", prepare_call, full, 0, [](MIDIHDR& h) { h.dwBufferLength = 65537; },
         MMSYSERR_INVALPARAM, 0},
        {"prepare again", prepare_call, full, P | D | Q, same, MMSYSERR_NOERROR, P | D | Q},
        {"prepare, stream flag set", prepare_call, full, S, same, MMSYSERR_NOERROR, P | S},
        {"unprepare, too short", unprepare_call, old_size - 1, P, same, MMSYSERR_INVALPARAM, P},
        {"unprepare, queued", unprepare_call, full, P | D | Q, same, MIDIERR_STILLPLAYING, P | D | Q},
        {"unprepare, old size", unprepare_call, old_size, P | D, same, MMSYSERR_NOERROR, D},
        {"unprepare, not prepared", unprepare_call, full, D | Q, same, MMSYSERR_NOERROR, D | Q},
        {"queue, too short", out_call, old_size - 1, P, same, MMSYSERR_INVALPARAM, P},
        {"queue, old size", out_call, old_size, P | D, same, MMSYSERR_NOERROR, P | Q | S},
        {"queue, nothing recorded", out_call, full, P, [](MIDIHDR& h) { h.dwBytesRecorded = 0; }, MMSYSERR_NOERROR,
         P | Q | S},
        {"queue, unprepared", out_call, full, 0, same, MIDIERR_UNPREPARED, 0},
        {"queue, already queued", out_call, full, P | Q, same, MIDIERR_STILLPLAYING, P | Q},
        {"queue, more recorded than the buffer", out_call, full, P, [](MIDIHDR& h) { h.dwBytesRecorded += 12; },
         MMSYSERR_INVALPARAM, P},
        {"queue, unprepared and too much recorded", out_call, full, 0, [](MIDIHDR& h) { h.dwBytesRecorded += 12; },
         MMSYSERR_INVALPARAM, 0},
        {"queue, not whole words", out_call, full, P, [](MIDIHDR& h) { h.dwBytesRecorded -= 1; }, MMSYSERR_INVALPARAM,
         P},
        {"queue, part of a record", out_call, full, P, [](MIDIHDR& h) { h.dwBytesRecorded -= 4; },
         MMSYSERR_INVALPARAM, P},
        {"queue, a long record past the end", out_call, full, P,
         [](MIDIHDR& h) { reinterpret_cast<DWORD*>(h.lpData)[5] = MEVT_F_LONG | 8; }, MMSYSERR_INVALPARAM, P},
        {"queue, no data", out_call, full, P, [](MIDIHDR& h) { h.lpData = nullptr; }, MMSYSERR_INVALPARAM, P},
    };
    for (const Row& row : rows) {
        Buffer b({0, 0, 0x00403C90, 0, 0, 0x00003C80});
        b.header.dwFlags = row.flags;
        row.change(b.header);
        EXPECT_EQ(row.call(stream, &b.header, row.size), row.expected) << row.what;
        EXPECT_EQ(b.header.dwFlags, row.flags_after) << row.what;
        // Whatever was queued comes back before the buffer goes.
        ASSERT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(callbacks.count(MOM_DONE), 2u);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
}

TEST_F(MidiStream, RecordsPlayOnOneTimelineAcrossHeaders) {
    FakeDevice& device = use_fake(false);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks, 480);
    Buffer first({0, 0, 0x00403C90,                 // tick 0
                  480, 0, tempo_record | 250000,    // tick 480, half a second; faster from here
                  480, 0, 0x00003C80});             // tick 960: 0.5 s + 0.25 s
    Buffer second({960, 0, 0x000005C0,              // tick 1920
                   480, 0, nop_record,              // tick 2400, waited for, sounds nothing
                   0, 0, MEVT_F_LONG | 5, 0x11111111, 0x22,  // a long record, stepped over
                   480, 0, 0x00403E90});            // tick 2880
    ASSERT_EQ(prepare(stream, first), MMSYSERR_NOERROR);
    ASSERT_EQ(prepare(stream, second), MMSYSERR_NOERROR);
    ASSERT_EQ(queue(stream, first), MMSYSERR_NOERROR);
    ASSERT_EQ(queue(stream, second), MMSYSERR_NOERROR);
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
    ASSERT_TRUE(callbacks.wait_done(2));

    std::vector<PlayedRecord> played = device.played();
    ASSERT_EQ(played.size(), 6u);
    const std::pair<uint64_t, int64_t> expected[] = {
        {0, 0}, {480, 500000}, {960, 750000}, {1920, 1250000}, {2400, 1500000}, {2880, 1750000}};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(played[i].tick, expected[i].first) << i;
        EXPECT_EQ(played[i].due_us, expected[i].second) << i;
    }
    EXPECT_EQ(played[1].word, tempo_record | 250000);
    EXPECT_EQ(played[4].word, nop_record);
    EXPECT_EQ(played[5].word, 0x00403E90u);
    // Given back in order, each header once.
    EXPECT_EQ(callbacks.calls[1].second, &first.header);
    EXPECT_EQ(callbacks.calls[2].second, &second.header);

    MIDIPROPTEMPO tempo = {sizeof tempo, 0};
    ASSERT_EQ(midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&tempo), MIDIPROP_GET | MIDIPROP_TEMPO),
              MMSYSERR_NOERROR);
    EXPECT_EQ(tempo.dwTempo, 250000u);
    ASSERT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
}

// A device that keeps its own clock is handed each record as soon as the
// stream has it, with its due time; the header still comes back when its
// last record is due, and a reset still reaches the device.
TEST_F(MidiStream, ADeviceWithItsOwnClockGetsTheRecordsAheadAndTheHeaderWhenDue) {
    FakeDevice& device = use_fake(platform::Pacing::own_clock);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks, 480);
    Buffer notes({0, 0, 0x00403C90, 480, 0, tempo_record | 250000, 480, 0, 0x00003C80});  // the last due at 0.75 s
    ASSERT_EQ(prepare(stream, notes), MMSYSERR_NOERROR);
    const auto restart = std::chrono::steady_clock::now();
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
    ASSERT_EQ(queue(stream, notes), MMSYSERR_NOERROR);
    ASSERT_TRUE(callbacks.wait_done(1));
    const auto done = std::chrono::steady_clock::now();

    std::vector<PlayedRecord> played = device.played();
    ASSERT_EQ(played.size(), 3u);
    EXPECT_EQ(played[2].due_us, 750000);
    EXPECT_LT(played[2].at_us, 200000);  // handed over long before it is due
    EXPECT_GE(done - restart, 750ms);
    ASSERT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
    EXPECT_EQ(device.happenings().back(), "reset");
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
}

TEST_F(MidiStream, PropertiesAreCheckedAndKept) {
    FakeDevice& device = use_fake(false);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_new_stream(&callbacks);
    auto property = [&](DWORD flags, DWORD value = 0, DWORD size = 8) {
        DWORD record[2] = {size, value};
        MMRESULT result = midiStreamProperty(stream, reinterpret_cast<LPBYTE>(record), flags);
        return std::pair<MMRESULT, DWORD>(result, record[1]);
    };
    using Answer = std::pair<MMRESULT, DWORD>;
    // A new stream's.
    EXPECT_EQ(property(MIDIPROP_GET | MIDIPROP_TIMEDIV), Answer(MMSYSERR_NOERROR, 24));
    EXPECT_EQ(property(MIDIPROP_GET | MIDIPROP_TEMPO), Answer(MMSYSERR_NOERROR, 500000));

    struct Row {
        const char* what;
        DWORD flags;
        DWORD value;
        DWORD size;
        MMRESULT expected;
        DWORD division_after;
    };
    const Row rows[] = {
        {"no ticks", MIDIPROP_SET | MIDIPROP_TIMEDIV, 0, 8, MMSYSERR_NOERROR, 0},
        {"23 frames a second", MIDIPROP_SET | MIDIPROP_TIMEDIV, 0xE901, 8, MMSYSERR_NOERROR, 0xE901},
        {"a high word", MIDIPROP_SET | MIDIPROP_TIMEDIV, 0x10060, 8, MMSYSERR_NOERROR, 0x10060},
        {"both actions", MIDIPROP_SET | MIDIPROP_GET | MIDIPROP_TIMEDIV, 96, 8, MMSYSERR_INVALPARAM, 0x10060},
        {"no action", MIDIPROP_TIMEDIV, 96, 8, MMSYSERR_INVALPARAM, 0x10060},
        {"an unknown property", MIDIPROP_SET | 0x4, 96, 8, MMSYSERR_INVALPARAM, 0x10060},
        {"two properties", MIDIPROP_SET | MIDIPROP_TIMEDIV | MIDIPROP_TEMPO, 96, 8, MMSYSERR_INVALPARAM, 0x10060},
        {"a short record", MIDIPROP_SET | MIDIPROP_TIMEDIV, 96, 4, MMSYSERR_INVALPARAM, 0x10060},
        {"ticks per quarter", MIDIPROP_SET | MIDIPROP_TIMEDIV, 480, 8, MMSYSERR_NOERROR, 480},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(property(row.flags, row.value, row.size).first, row.expected) << row.what;
        EXPECT_EQ(property(MIDIPROP_GET | MIDIPROP_TIMEDIV), Answer(MMSYSERR_NOERROR, row.division_after)) << row.what;
    }
    EXPECT_EQ(midiStreamProperty(stream, nullptr, MIDIPROP_GET | MIDIPROP_TIMEDIV), MMSYSERR_INVALPARAM);
    EXPECT_EQ(property(MIDIPROP_SET | MIDIPROP_TEMPO, 1000), Answer(MMSYSERR_NOERROR, 1000));
    EXPECT_EQ(property(MIDIPROP_GET | MIDIPROP_TEMPO), Answer(MMSYSERR_NOERROR, 1000));

    // While it plays the division stays; the tempo may change. Stopped, the
    // division may change again.
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);  // already playing: nothing to do
    EXPECT_EQ(property(MIDIPROP_SET | MIDIPROP_TIMEDIV, 24).first, MMSYSERR_INVALPARAM);
    EXPECT_EQ(property(MIDIPROP_GET | MIDIPROP_TIMEDIV), Answer(MMSYSERR_NOERROR, 480));
    EXPECT_EQ(property(MIDIPROP_SET | MIDIPROP_TEMPO, 2000).first, MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
    EXPECT_EQ(property(MIDIPROP_SET | MIDIPROP_TIMEDIV, 24).first, MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    EXPECT_EQ(device.happenings(), (std::vector<std::string>{"open", "timediv 0", "timediv 59649", "timediv 65632",
                                                             "timediv 480", "restart", "reset", "timediv 24",
                                                             "close"}));
}

// A reset, or a close, stops a playing stream: its notes end and its queued
// headers come back, marked done, in queue order, before the call returns.
TEST_F(MidiStream, AResetOrACloseGivesBackTheQueuedHeaders) {
    for (bool by_close : {false, true}) {
        SCOPED_TRACE(by_close ? "midiStreamClose" : "midiOutReset");
        FakeDevice& device = use_fake(true);
        auto owned_callbacks = std::make_unique<Callbacks>();
        Callbacks& callbacks = *owned_callbacks;
        HMIDISTRM stream = open_stream(&callbacks);
        // Due in an hour: still queued when the test ends with them.
        Buffer first({0, 0, 0x00403C90, 96 * 7200, 0, 0x00003C80});
        Buffer second({0, 0, 0x00403E90});
        ASSERT_EQ(prepare(stream, first), MMSYSERR_NOERROR);
        ASSERT_EQ(prepare(stream, second), MMSYSERR_NOERROR);
        ASSERT_EQ(queue(stream, first), MMSYSERR_NOERROR);
        ASSERT_EQ(queue(stream, second), MMSYSERR_NOERROR);
        ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
        for (int i = 0; i < 1000 && device.played().empty(); ++i) std::this_thread::sleep_for(1ms);
        ASSERT_EQ(device.played().size(), 1u);
        EXPECT_EQ(unprepare(stream, first), MIDIERR_STILLPLAYING);
        EXPECT_EQ(unprepare(stream, second), MIDIERR_STILLPLAYING);
        EXPECT_EQ(callbacks.count(MOM_DONE), 0u);

        if (by_close) {
            ASSERT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
            ASSERT_EQ(callbacks.calls.size(), 4u);
            EXPECT_EQ(callbacks.calls[3].first, UINT(MOM_CLOSE));
        } else {
            ASSERT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(callbacks.count(MOM_DONE), 2u);
        EXPECT_EQ(callbacks.calls[1].second, &first.header);
        EXPECT_EQ(callbacks.calls[2].second, &second.header);
        for (Buffer* b : {&first, &second})
            EXPECT_EQ(b->header.dwFlags, DWORD(MHDR_PREPARED | MHDR_DONE | MHDR_ISSTRM));
        EXPECT_EQ(device.played().size(), 1u);
        if (!by_close) {
            EXPECT_EQ(unprepare(stream, first), MMSYSERR_NOERROR);
            EXPECT_EQ(unprepare(stream, second), MMSYSERR_NOERROR);
            EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(device.happenings(), (std::vector<std::string>{"open", "timediv 96", "restart", "ev", "reset",
                                                                 "done", "done", "close"}));
        platform::use_device0(nullptr);
    }
}

TEST_F(MidiStream, AResetStreamStartsANewTimelineAtItsNextRestart) {
    FakeDevice& device = use_fake(false);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks);
    Buffer b({96, 0, tempo_record | 1000000, 96, 0, 0x00403C90});
    ASSERT_EQ(prepare(stream, b), MMSYSERR_NOERROR);
    for (int round = 1; round <= 2; ++round) {
        ASSERT_EQ(queue(stream, b), MMSYSERR_NOERROR);
        ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
        ASSERT_TRUE(callbacks.wait_done(size_t(round)));
        ASSERT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
    }
    std::vector<PlayedRecord> played = device.played();
    ASSERT_EQ(played.size(), 4u);
    for (size_t i : {0, 2}) {
        EXPECT_EQ(played[i].tick, 96u);
        EXPECT_EQ(played[i].due_us, 500000);
        EXPECT_EQ(played[i + 1].tick, 192u);
        EXPECT_EQ(played[i + 1].due_us, 1500000);
    }
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
}

// A loop's next pass keeps the music's time: a stream restarted right after
// another played through starts where that one ended, however late within a
// few milliseconds its restart came; restarted later, it starts anew.
TEST_F(MidiStream, ARestartRightAfterAStreamPlayedThroughContinuesItsTimeline) {
    FakeDevice& device = use_fake(true);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks);  // 96 ticks a quarter, 500 ms a quarter
    Buffer b({0, 0, 0x00403C90, 1, 0, nop_record, 1, 0, nop_record, 2, 0, nop_record});  // ends at tick 4
    const auto length = 20833us;
    ASSERT_EQ(prepare(stream, b), MMSYSERR_NOERROR);
    // The time 0 of pass `round`, from what the device got: the moment it got
    // a record less that record's time since the start, at the least.
    auto start_of = [&](size_t round) {
        std::vector<PlayedRecord> played = device.played();
        auto start = std::chrono::steady_clock::time_point::max();
        for (size_t i = 4 * (round - 1); i < 4 * round && i < played.size(); ++i)
            start = std::min(start, played[i].sent - std::chrono::microseconds(played[i].at_us));
        return start;
    };
    auto pass = [&](size_t round) {
        EXPECT_EQ(queue(stream, b), MMSYSERR_NOERROR);
        const auto restarted = std::chrono::steady_clock::now();
        EXPECT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
        EXPECT_TRUE(callbacks.wait_done(round));
        EXPECT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
        return restarted;
    };
    pass(1);
    // Each restart comes a millisecond after the end; a busy machine may make
    // that more than the window, so the passes go on until one came within it.
    bool continued = false;
    size_t round = 1;
    while (!continued && round < 40 && !HasFailure()) {
        ++round;
        std::this_thread::sleep_for(1ms);
        const auto restarted = pass(round);
        const auto end = start_of(round - 1) + length;
        if (restarted - end > 3ms) continue;
        // Started where the last pass ended, before the restart was called;
        // a pass started anew starts after it.
        EXPECT_LT(start_of(round), restarted);
        continued = true;
    }
    EXPECT_TRUE(continued);
    // Restarted long after, a pass starts at its restart.
    std::this_thread::sleep_for(20ms);
    const auto restarted = pass(++round);
    EXPECT_GE(start_of(round), restarted);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
}

// The callback of a slow client: it is still running when the pass has reset
// the stream and goes on to close it.
struct SlowCallback {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    static void CALLBACK run(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
        if (message != MOM_DONE) return;
        auto* self = reinterpret_cast<SlowCallback*>(instance);
        self->entered = true;
        std::this_thread::sleep_for(100ms);
        self->finished = true;
    }
};

TEST_F(MidiStream, NoCallbackRunsAfterCloseHasReturned) {
    use_fake(false);
    SlowCallback slow;
    HMIDISTRM stream = nullptr;
    UINT id = 0;
    ASSERT_EQ(midiStreamOpen(&stream, &id, 1, reinterpret_cast<DWORD_PTR>(SlowCallback::run),
                             reinterpret_cast<DWORD_PTR>(&slow), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    Buffer b({0, 0, 0x00403C90});
    ASSERT_EQ(prepare(stream, b), MMSYSERR_NOERROR);
    ASSERT_EQ(queue(stream, b), MMSYSERR_NOERROR);
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
    while (!slow.entered) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
    EXPECT_EQ(unprepare(stream, b), MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    EXPECT_TRUE(slow.finished);
}

// The program's own pattern: its callback takes the program's lock, and the
// control thread holds that lock while it sets the stream's volume. The
// callback here also queues its header again, as a client may.
struct LockingClient {
    std::mutex program_lock;
    HMIDISTRM stream = nullptr;
    MIDIHDR* header = nullptr;
    std::atomic<int> done{0};
    std::atomic<MMRESULT> requeue_result{MMSYSERR_NOERROR};
    static constexpr int rounds = 300;

    static void CALLBACK run(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
        if (message != MOM_DONE) return;
        auto* self = reinterpret_cast<LockingClient*>(instance);
        std::lock_guard<std::mutex> hold(self->program_lock);
        if (++self->done < rounds) {
            MIDIPROPTEMPO tempo = {sizeof tempo, 0};
            midiStreamProperty(self->stream, reinterpret_cast<LPBYTE>(&tempo), MIDIPROP_GET | MIDIPROP_TEMPO);
            MMRESULT e = midiStreamOut(self->stream, self->header, sizeof *self->header);
            if (e != MMSYSERR_NOERROR) self->requeue_result = e;
        }
    }
};

TEST_F(MidiStream, CallbacksRunWithoutTheLayersLocks) {
    FakeDevice& device = use_fake(false);
    auto owned_client = std::make_unique<LockingClient>();
    LockingClient& client = *owned_client;
    UINT id = 0;
    ASSERT_EQ(midiStreamOpen(&client.stream, &id, 1, reinterpret_cast<DWORD_PTR>(LockingClient::run),
                             reinterpret_cast<DWORD_PTR>(&client), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    Buffer b({0, 0, 0x00403C90, 1, 0, 0x00003C80});
    client.header = &b.header;
    ASSERT_EQ(prepare(client.stream, b), MMSYSERR_NOERROR);
    ASSERT_EQ(queue(client.stream, b), MMSYSERR_NOERROR);
    std::atomic<bool> stop{false};
    std::thread control([&] {
        while (!stop) {
            std::lock_guard<std::mutex> hold(client.program_lock);
            EXPECT_EQ(midiOutSetVolume(out(client.stream), 0x8080), MMSYSERR_NOERROR);
        }
    });
    ASSERT_EQ(midiStreamRestart(client.stream), MMSYSERR_NOERROR);
    for (int i = 0; i < 10000 && client.done < LockingClient::rounds; ++i) std::this_thread::sleep_for(1ms);
    stop = true;
    control.join();
    EXPECT_EQ(client.done, LockingClient::rounds);
    EXPECT_EQ(client.requeue_result, MMRESULT(MMSYSERR_NOERROR));
    EXPECT_EQ(device.played().size(), 2u * LockingClient::rounds);
    EXPECT_EQ(midiOutReset(out(client.stream)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamClose(client.stream), MMSYSERR_NOERROR);
}

TEST_F(MidiStream, VolumeGoesToTheStreamsDeviceOrToDeviceZero) {
    FakeDevice& device = use_fake(false);
    EXPECT_EQ(midiOutSetVolume(nullptr, 0xC8C8), MMSYSERR_NOERROR);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks);
    EXPECT_EQ(midiOutSetVolume(out(stream), 0x8080), MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    EXPECT_EQ(device.happenings(), (std::vector<std::string>{"volume 51400", "open", "timediv 96", "volume 32896",
                                                             "close"}));
}

}  // namespace
