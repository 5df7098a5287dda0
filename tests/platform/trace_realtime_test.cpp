// Plays two seconds on the real-time trace device and reads the trace back.
// Bounds only gross failures: a record sent early, or a fifth of a second late.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/devices/device_kinds.h"
#include "platform/linux/devices/devices.h"
#include "platform/platform.h"

namespace {

void CALLBACK wake(HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message == MOM_DONE) SetEvent(reinterpret_cast<HANDLE>(instance));
}

TEST(TraceRealTime, RecordsAreSentAtTheirDueTimes) {
    char path[] = "/tmp/trace_realtime_test_XXXXXX";
    close(mkstemp(path));
    MMRESULT error = MMSYSERR_NOERROR;
    std::unique_ptr<platform::MidiDevice> device(platform::open_trace_device(path, platform::Pacing::due_time, &error));
    ASSERT_NE(device, nullptr);
    platform::use_device0(device.get());

    // 96 ticks a quarter: 4 records an eighth (a quarter second) apart, a
    // tempo twice as fast a second in, then 8 more an eighth apart.
    std::vector<DWORD> first, second;
    std::vector<std::pair<uint64_t, int64_t>> expected;
    for (int i = 0; i < 4; ++i) {
        first.insert(first.end(), {i ? 48u : 0u, 0, 0x00403C90});
        expected.push_back({uint64_t(48 * i), 250000LL * i});
    }
    first.insert(first.end(), {48, 0, 0x0103D090});  // 250000 µs a quarter
    expected.push_back({192, 1000000});
    for (int i = 0; i < 8; ++i) {
        second.insert(second.end(), {i ? 48u : 0u, 0, 0x00003C80});
        expected.push_back({uint64_t(192 + 48 * i), 1000000 + 125000LL * i});
    }
    MIDIHDR headers[2] = {};
    std::vector<DWORD>* data[2] = {&first, &second};

    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HMIDISTRM stream = nullptr;
    UINT id = 0;
    ASSERT_EQ(midiStreamOpen(&stream, &id, 1, reinterpret_cast<DWORD_PTR>(wake), reinterpret_cast<DWORD_PTR>(done),
                             CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    MIDIPROPTIMEDIV division = {sizeof division, 96};
    ASSERT_EQ(midiStreamProperty(stream, reinterpret_cast<LPBYTE>(&division), MIDIPROP_SET | MIDIPROP_TIMEDIV),
              MMSYSERR_NOERROR);
    ASSERT_EQ(midiStreamRestart(stream), MMSYSERR_NOERROR);
    // The second buffer is queued only after the first came back, as the
    // player does: the refill gap must not shift the timeline.
    for (int i = 0; i < 2; ++i) {
        headers[i].lpData = reinterpret_cast<LPSTR>(data[i]->data());
        headers[i].dwBufferLength = headers[i].dwBytesRecorded = DWORD(data[i]->size() * sizeof(DWORD));
        ASSERT_EQ(midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(stream), &headers[i], sizeof headers[i]),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(midiStreamOut(stream, &headers[i], sizeof headers[i]), MMSYSERR_NOERROR);
        ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
        usleep(30000);
    }
    midiOutReset(reinterpret_cast<HMIDIOUT>(stream));
    for (MIDIHDR& header : headers) midiOutUnprepareHeader(reinterpret_cast<HMIDIOUT>(stream), &header, sizeof header);
    ASSERT_EQ(midiStreamClose(stream), MMSYSERR_NOERROR);
    CloseHandle(done);
    platform::use_device0(nullptr);

    std::ifstream in(path);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string kind;
        uint64_t tick;
        int64_t due, at;
        if (!(fields >> kind >> tick >> due >> at) || kind != "ev") continue;
        ASSERT_LT(n, expected.size());
        EXPECT_EQ(tick, expected[n].first) << line;
        EXPECT_EQ(due, expected[n].second) << line;
        EXPECT_GE(at, due) << line;
        EXPECT_LT(at - due, 200000) << line;
        ++n;
    }
    EXPECT_EQ(n, expected.size());
    unlink(path);
}

}  // namespace
