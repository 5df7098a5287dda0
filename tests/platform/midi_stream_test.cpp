#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_device.h"
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
    FakeDevice& use_fake(bool real_time) {
        fake_ = std::make_unique<FakeDevice>(real_time);
        platform::use_device0(fake_.get());
        return *fake_;
    }
    void TearDown() override { platform::use_device0(nullptr); }
    std::unique_ptr<FakeDevice> fake_;

    HMIDISTRM open_stream(Callbacks* callbacks, DWORD division = 96) {
        HMIDISTRM stream = nullptr;
        UINT device = 0;
        EXPECT_EQ(midiStreamOpen(&stream, &device, 1, reinterpret_cast<DWORD_PTR>(Callbacks::record),
                                 reinterpret_cast<DWORD_PTR>(callbacks), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
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
    EXPECT_EQ(midiStreamOpen(&stream, &one, 1, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiStreamOpen(&stream, &zero, 2, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiStreamOpen(nullptr, &zero, 1, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiStreamOpen(&stream, nullptr, 1, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiStreamOpen(&stream, &zero, 1, 0, 0, 0x00010000 /* a window */), MMSYSERR_INVALFLAG);
    EXPECT_TRUE(device.happenings().empty());
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
    b.header.dwBytesRecorded = b.header.dwBufferLength + 12;
    EXPECT_EQ(queue(stream, b), MMSYSERR_INVALPARAM);
    b.header.dwBytesRecorded = b.header.dwBufferLength;
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
    EXPECT_EQ(device.happenings(),
              (std::vector<std::string>{"open", "timediv 96", "restart", "ev", "done", "close"}));
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
                   480, 0, 0x00403E90,              // tick 2880
                   7});                             // a part record: ignored
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

TEST_F(MidiStream, PropertiesAreCheckedAndKept) {
    use_fake(false);
    auto owned_callbacks = std::make_unique<Callbacks>();
    Callbacks& callbacks = *owned_callbacks;
    HMIDISTRM stream = open_stream(&callbacks, 0xE728);
    MIDIPROPTIMEDIV division = {sizeof division, 0};
    auto property = [&](auto* record, DWORD flags) {
        return midiStreamProperty(stream, reinterpret_cast<LPBYTE>(record), flags);
    };
    EXPECT_EQ(property(&division, MIDIPROP_GET | MIDIPROP_TIMEDIV), MMSYSERR_NOERROR);
    EXPECT_EQ(division.dwTimeDiv, 0xE728u);
    division.dwTimeDiv = 0;
    EXPECT_EQ(property(&division, MIDIPROP_SET | MIDIPROP_TIMEDIV), MMSYSERR_INVALPARAM);
    division.dwTimeDiv = 0xE901;  // 23 frames a second
    EXPECT_EQ(property(&division, MIDIPROP_SET | MIDIPROP_TIMEDIV), MMSYSERR_INVALPARAM);
    EXPECT_EQ(property(&division, MIDIPROP_SET | MIDIPROP_GET | MIDIPROP_TIMEDIV), MMSYSERR_INVALFLAG);
    EXPECT_EQ(property(&division, MIDIPROP_TIMEDIV), MMSYSERR_INVALFLAG);
    EXPECT_EQ(property(&division, MIDIPROP_GET | 0x4), MMSYSERR_INVALFLAG);
    EXPECT_EQ(midiStreamProperty(stream, nullptr, MIDIPROP_GET | MIDIPROP_TIMEDIV), MMSYSERR_INVALPARAM);
    division.cbStruct = 4;
    EXPECT_EQ(property(&division, MIDIPROP_GET | MIDIPROP_TIMEDIV), MMSYSERR_INVALPARAM);

    MIDIPROPTEMPO tempo = {sizeof tempo, 0};
    EXPECT_EQ(property(&tempo, MIDIPROP_GET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    EXPECT_EQ(tempo.dwTempo, 500000u);
    tempo.dwTempo = 1000;
    EXPECT_EQ(property(&tempo, MIDIPROP_SET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    tempo.dwTempo = 0;
    EXPECT_EQ(property(&tempo, MIDIPROP_GET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    EXPECT_EQ(tempo.dwTempo, 1000u);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
}

TEST_F(MidiStream, QueuedHeadersHoldTheStreamUntilAResetGivesThemBack) {
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

    EXPECT_EQ(midiStreamClose(stream), MIDIERR_STILLPLAYING);
    EXPECT_EQ(unprepare(stream, first), MIDIERR_STILLPLAYING);
    EXPECT_EQ(unprepare(stream, second), MIDIERR_STILLPLAYING);
    EXPECT_EQ(callbacks.count(MOM_DONE), 0u);

    ASSERT_EQ(midiOutReset(out(stream)), MMSYSERR_NOERROR);
    // Given back before the reset returns, in queue order.
    ASSERT_EQ(callbacks.count(MOM_DONE), 2u);
    EXPECT_EQ(callbacks.calls[1].second, &first.header);
    EXPECT_EQ(callbacks.calls[2].second, &second.header);
    for (Buffer* b : {&first, &second}) EXPECT_EQ(b->header.dwFlags, DWORD(MHDR_PREPARED | MHDR_DONE | MHDR_ISSTRM));
    EXPECT_EQ(device.played().size(), 1u);
    EXPECT_EQ(unprepare(stream, first), MMSYSERR_NOERROR);
    EXPECT_EQ(unprepare(stream, second), MMSYSERR_NOERROR);
    EXPECT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    EXPECT_EQ(device.happenings(), (std::vector<std::string>{"open", "timediv 96", "restart", "ev", "reset", "done",
                                                             "done", "close"}));
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
