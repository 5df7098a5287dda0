#include "platform/linux/win32/kernel32.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>


namespace {

enum class Kind { event, thread };

// An object lives while its handle is open or a call is using it, as a
// kernel object does: a thread may close an event the moment it sees it
// signalled, while the signaller is still inside SetEvent.
struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
    std::atomic<int> users{1};  // the handle, and each call in progress
};

struct Event : Object {
    Event(bool manual, bool signalled) : Object(Kind::event), manual_reset(manual), is_signalled(signalled) {}
    std::mutex mutex;
    std::condition_variable changed;
    const bool manual_reset;
    bool is_signalled;
};

struct Thread : Object {
    Thread(LPTHREAD_START_ROUTINE s, LPVOID p) : Object(Kind::thread), start(s), parameter(p) {}
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

// What a new thread runs: its own copy, which the handle's CloseHandle
// cannot take away while the thread is starting.
struct Start {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// The signals that are the console's control events.
constexpr int console_signal_numbers[] = {SIGINT, SIGTERM, SIGHUP};

const sigset_t& console_signals() {
    static const sigset_t set = [] {
        sigset_t numbers;
        sigemptyset(&numbers);
        for (int number : console_signal_numbers) sigaddset(&numbers, number);
        return numbers;
    }();
    return set;
}

void* run_thread(void* argument) {
    Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    start.routine(start.parameter);
    return nullptr;
}

void release(Object* object);

// The event a handle names, held for the length of one call.
class HeldEvent {
public:
    explicit HeldEvent(HANDLE handle) {
        auto* object = static_cast<Object*>(handle);
        if (!object || object->kind != Kind::event) return;
        object->users.fetch_add(1, std::memory_order_relaxed);
        event_ = static_cast<Event*>(object);
    }
    ~HeldEvent() {
        if (event_) release(event_);
    }
    HeldEvent(const HeldEvent&) = delete;
    HeldEvent& operator=(const HeldEvent&) = delete;
    Event* operator->() const { return event_; }
    explicit operator bool() const { return event_ != nullptr; }

private:
    Event* event_ = nullptr;
};

void release(Object* object) {
    if (object->users.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (object->kind == Kind::event)
        delete static_cast<Event*>(object);
    else
        delete static_cast<Thread*>(object);
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR) {
    return new (std::nothrow) Event(manual_reset != FALSE, initial_state != FALSE);
}

BOOL SetEvent(HANDLE handle) {
    HeldEvent event(handle);
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> hold(event->mutex);
        event->is_signalled = true;
    }
    // Held, the event outlives a waiter that closes it the moment it wakes.
    if (event->manual_reset)
        event->changed.notify_all();
    else
        event->changed.notify_one();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    HeldEvent event(handle);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> hold(event->mutex);
    event->is_signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    HeldEvent event(handle);
    if (!event) return WAIT_FAILED;
    std::unique_lock<std::mutex> hold(event->mutex);
    Event* waited = event.operator->();
    auto signalled = [waited] { return waited->is_signalled; };
    if (milliseconds == INFINITE)
        event->changed.wait(hold, signalled);
    else if (!event->changed.wait_for(hold, std::chrono::milliseconds(milliseconds), signalled))
        return WAIT_TIMEOUT;
    if (!event->manual_reset) event->is_signalled = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
    auto* object = static_cast<Object*>(handle);
    if (!object) return FALSE;
    release(object);
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD thread_id) {
    // The handle may be closed at once, even before the thread has started:
    // the thread gets its routine and parameter from a copy of its own.
    auto* thread = new (std::nothrow) Thread(start, parameter);
    auto* copy = new (std::nothrow) Start{start, parameter};
    if (!thread || !copy) {
        delete thread;
        delete copy;
        return nullptr;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_size) pthread_attr_setstacksize(&attributes, stack_size);
    pthread_t id;
    // The console's signals are taken by the thread that handles them: every
    // other thread of ours is created with them blocked (see
    // dispatch_signals).
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &console_signals(), &previous);
    // The Thread object stays alive until CloseHandle; a caller that never
    // closes it (a thread that runs for the life of the process) keeps it.
    int failed = pthread_create(&id, &attributes, run_thread, copy);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (failed) {
        delete thread;
        delete copy;
        return nullptr;
    }
    if (thread_id) *thread_id = static_cast<DWORD>(id);
    return thread;
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(&section->mutex); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(&section->mutex); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(&section->mutex); }

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
