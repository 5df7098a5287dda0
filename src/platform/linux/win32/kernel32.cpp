// kernel32's events, threads and critical sections (kernel32.h); the
// console's control events and the end of the process are in console.cpp.
#include "platform/linux/win32/kernel32.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/linux/win32/console.h"

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
