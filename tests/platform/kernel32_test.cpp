#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <semaphore>
#include <thread>

#include "platform/platform.h"

namespace {

TEST(Events, AnAutomaticResetEventReleasesOneWaitPerSignal) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    // Two signals before a wait count once.
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, AManualResetEventStaysSignalledUntilReset) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, ASignalFromAnotherThreadEndsAnEndlessWait) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::thread signaller([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    signaller.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

// Windows lets a thread close an event the moment it sees it signalled: the
// signaller must not touch the event after that (AddressSanitizer sees it).
// The closer polls each new event and closes it once signalled; the signaller
// signals it once the closer is polling. The hand-overs between them block, so
// that a busy machine slows each one by a wake-up, not by a time slice; the
// runs stop at a count, or after a time once enough have been made.
TEST(Events, AnEventClosedAsSoonAsItIsSignalledIsNotTouchedByItsSignaller) {
    constexpr int most_runs = 200000, least_runs = 2000;
    constexpr auto enough_time = std::chrono::seconds(5);
    for (BOOL manual_reset : {FALSE, TRUE}) {
        std::binary_semaphore handed{0}, polling{0};
        HANDLE polled = nullptr;  // handed over by the semaphores
        std::thread closer([&] {
            for (;;) {
                handed.acquire();
                HANDLE event = polled;
                if (!event) return;
                polling.release();
                while (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {}
                CloseHandle(event);
            }
        });
        const auto started = std::chrono::steady_clock::now();
        int runs = 0;
        while (runs < most_runs && (runs < least_runs || std::chrono::steady_clock::now() - started < enough_time)) {
            polled = CreateEventA(nullptr, manual_reset, FALSE, nullptr);
            ASSERT_NE(polled, nullptr);
            handed.release();
            polling.acquire();
            SetEvent(polled);
            ++runs;
        }
        polled = nullptr;
        handed.release();
        closer.join();
    }
}

TEST(Events, ANullHandleIsRefused) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_FALSE(CloseHandle(nullptr));
}

std::atomic<int> thread_saw{0};

DWORD WINAPI note_parameter(LPVOID parameter) {
    thread_saw = *static_cast<int*>(parameter);
    return 0;
}

TEST(Threads, CreateThreadRunsTheRoutineWithItsParameter) {
    static int parameter = 42;
    HANDLE thread = CreateThread(nullptr, 0, note_parameter, &parameter, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    CloseHandle(thread);
    for (int i = 0; i < 5000 && thread_saw != 42; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(thread_saw, 42);
}

}  // namespace
