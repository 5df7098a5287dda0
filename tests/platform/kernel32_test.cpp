#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// Under ThreadSanitizer the busy polling below is slow on a busy machine,
// and the use after free it hunts is AddressSanitizer's to see.
#if defined(__SANITIZE_THREAD__)
constexpr int events_closed_at_once = 1000;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int events_closed_at_once = 1000;
#else
constexpr int events_closed_at_once = 20000;
#endif
#else
constexpr int events_closed_at_once = 20000;
#endif

// Windows lets a thread close an event the moment it sees it signalled: the
// signaller must not touch the event after that (AddressSanitizer sees it).
// One thread polls each new event and closes it once signalled; the other
// signals it; many times over, for each kind of event.
TEST(Events, AnEventClosedAsSoonAsItIsSignalledIsNotTouchedByItsSignaller) {
    for (BOOL manual_reset : {FALSE, TRUE}) {
        std::atomic<HANDLE> polled{nullptr};
        std::atomic<bool> over{false};
        std::thread closer([&] {
            while (!over) {
                HANDLE event = polled.load();
                if (!event) continue;
                while (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {}
                CloseHandle(event);
                polled = nullptr;
            }
        });
        for (int run = 0; run < events_closed_at_once; ++run) {
            HANDLE event = CreateEventA(nullptr, manual_reset, FALSE, nullptr);
            ASSERT_NE(event, nullptr);
            polled = event;
            SetEvent(event);
            while (polled.load()) std::this_thread::yield();
        }
        over = true;
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
