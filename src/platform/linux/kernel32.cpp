#include "platform/linux/kernel32.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/linux/midi_device.h"

namespace {

enum class Kind { event, thread };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
};

struct Event : Object {
    Event(bool manual, bool signalled) : Object(Kind::event), manual_reset(manual), is_signalled(signalled) {}
    std::mutex mutex;
    std::condition_variable changed;
    bool manual_reset;
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

Event* as_event(HANDLE handle) {
    auto* object = static_cast<Object*>(handle);
    return object && object->kind == Kind::event ? static_cast<Event*>(object) : nullptr;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR) {
    return new (std::nothrow) Event(manual_reset != FALSE, initial_state != FALSE);
}

BOOL SetEvent(HANDLE handle) {
    Event* event = as_event(handle);
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> hold(event->mutex);
        event->is_signalled = true;
    }
    if (event->manual_reset)
        event->changed.notify_all();
    else
        event->changed.notify_one();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    Event* event = as_event(handle);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> hold(event->mutex);
    event->is_signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Event* event = as_event(handle);
    if (!event) return WAIT_FAILED;
    std::unique_lock<std::mutex> hold(event->mutex);
    auto signalled = [event] { return event->is_signalled; };
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
    if (object->kind == Kind::event)
        delete static_cast<Event*>(object);
    else
        delete static_cast<Thread*>(object);
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
    // The Thread object stays alive until CloseHandle; a caller that never
    // closes it (a thread that runs for the life of the process) keeps it.
    int failed = pthread_create(&id, &attributes, run_thread, copy);
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

void ExitProcess(UINT exit_code) {
    platform::shut_down_devices();
    _exit(static_cast<int>(exit_code));
}
