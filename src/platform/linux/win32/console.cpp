// kernel32's console control events, taken from the process's signals
// (SIGINT, SIGHUP, SIGTERM), and the end of the process: ExitProcess and the
// steps the layer above registers to run on the way out (kernel32.h).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/linux/win32/console.h"
#include "platform/linux/win32/kernel32.h"

namespace {

// The signals that are the console's control events.
constexpr int console_signal_numbers[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

const sigset_t& console_signals() {
    static const sigset_t set = [] {
        sigset_t numbers;
        sigemptyset(&numbers);
        for (int number : console_signal_numbers) sigaddset(&numbers, number);
        return numbers;
    }();
    return set;
}

namespace {

// The console's control events from signals: the signal handler only writes
// the signal's number into a pipe; a thread of ours reads it and runs the
// handlers, where anything may be done.
std::mutex console_lock;
std::vector<PHANDLER_ROUTINE> console_handlers;  // guarded by console_lock
int signal_pipe[2] = {-1, -1};
std::atomic<int> ending_signal{0};  // the signal whose handlers ran, 0 before any

void on_signal(int number) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(number);
    ssize_t ignored = write(signal_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

DWORD console_event_of(int number) {
    switch (number) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGHUP: return CTRL_CLOSE_EVENT;
    default: return CTRL_SHUTDOWN_EVENT;
    }
}

// The one thread that takes the console's signals. Other threads block them:
// the thread that sets the first handler (the main thread) as it sets it,
// every thread of ours as it is created, and any thread started after that
// by inheritance; no library thread sees a call of its own cut short by one.
// The thread waits in poll, a call known everywhere to block: a signal that
// lands on a thread outside such a call may be held there until the thread's
// next call (the thread sanitizer holds it so), seconds later with a note held,
// or never if the thread waits in a read.
DWORD WINAPI dispatch_signals(LPVOID) {
    pthread_sigmask(SIG_UNBLOCK, &console_signals(), nullptr);
    for (;;) {
        pollfd readable = {signal_pipe[0], POLLIN, 0};
        int ready = poll(&readable, 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 0;
        unsigned char byte;
        ssize_t n = read(signal_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        int expected = 0;
        if (!ending_signal.compare_exchange_strong(expected, byte)) continue;  // one is being handled
        std::vector<PHANDLER_ROUTINE> handlers;
        {
            std::lock_guard<std::mutex> hold(console_lock);
            handlers = console_handlers;
        }
        bool handled = false;
        for (auto h = handlers.rbegin(); h != handlers.rend() && !handled; ++h) handled = (*h)(console_event_of(byte));
        if (!handled) ExitProcess(STATUS_CONTROL_C_EXIT);
        ending_signal.store(0);
    }
}

bool start_signal_thread() {
    if (pipe2(signal_pipe, O_CLOEXEC) != 0) return false;
    // A full pipe drops the signal rather than stopping its handler.
    fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
    HANDLE thread = CreateThread(nullptr, 0, dispatch_signals, nullptr, 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : console_signal_numbers) {
        // A signal the process was started with ignored (nohup, a shell's
        // background job) stays ignored, as it would have without a handler.
        struct sigaction old = {};
        if (sigaction(number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, nullptr);
    }
    pthread_sigmask(SIG_BLOCK, &console_signals(), nullptr);
    return true;
}

// The end itself: by the signal being handled, for STATUS_CONTROL_C_EXIT.
[[noreturn]] void end_now(UINT exit_code) {
    int number = ending_signal.load();
    if (exit_code == STATUS_CONTROL_C_EXIT && number) {
        signal(number, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, number);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(number);
        _exit(128 + number);
    }
    _exit(static_cast<int>(exit_code));
}

// What ExitProcess runs before the end, registered from above.
std::mutex exit_steps_lock;
void (*exit_steps[max_exit_steps])() = {};
unsigned exit_step_count = 0;  // guarded by exit_steps_lock

void* end_after_device_wait(void* code) {
    usleep(exit_device_wait_ms * 1000);
    end_now(static_cast<UINT>(reinterpret_cast<uintptr_t>(code)));
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (!handler) return FALSE;
    std::lock_guard<std::mutex> hold(console_lock);
    if (add) {
        if (signal_pipe[0] < 0 && !start_signal_thread()) return FALSE;
        console_handlers.push_back(handler);
        return TRUE;
    }
    for (auto h = console_handlers.rbegin(); h != console_handlers.rend(); ++h) {
        if (*h != handler) continue;
        console_handlers.erase(std::next(h).base());
        return TRUE;
    }
    return FALSE;
}

void ExitProcess(UINT exit_code) {
    // A device that hangs while it is silenced does not keep the process.
    pthread_t watchdog;
    pthread_create(&watchdog, nullptr, end_after_device_wait, reinterpret_cast<void*>(uintptr_t(exit_code)));
    void (*steps[max_exit_steps])();
    unsigned count;
    {
        std::lock_guard<std::mutex> hold(exit_steps_lock);
        count = exit_step_count;
        std::copy(exit_steps, exit_steps + count, steps);
    }
    while (count) steps[--count]();
    end_now(exit_code);
}

void at_process_exit(void (*step)()) {
    std::lock_guard<std::mutex> hold(exit_steps_lock);
    if (!step || exit_step_count == max_exit_steps || std::count(exit_steps, exit_steps + exit_step_count, step))
        return;
    exit_steps[exit_step_count++] = step;
}
