// The subset of kernel32 the player uses: events, threads, critical sections,
// the console's control events and the end of the process.
#pragma once

#include <pthread.h>

#include "platform/linux/base/win_types.h"

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

// An event: automatic reset (one waiter released per signal, the signal then
// cleared) or manual reset. Waits with a time-out in milliseconds or INFINITE.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// Starts a detached thread; the handle it returns is closed with CloseHandle.
// The thread starts with SIGINT, SIGTERM and SIGHUP blocked: one thread of
// the layer takes them (SetConsoleCtrlHandler).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creation_flags, LPDWORD thread_id);

struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// The console's control events. Here they come from the process's signals:
// SIGINT is Ctrl-C (CTRL_C_EVENT), SIGHUP the console closed
// (CTRL_CLOSE_EVENT), SIGTERM the system shutting down (CTRL_SHUTDOWN_EVENT);
// a signal that was ignored when the process started (nohup) stays ignored.
// The handlers run, the last added first, on a thread of the layer's own,
// until one returns TRUE; if none does, the process ends as Windows ends it
// on such an event: ExitProcess(STATUS_CONTROL_C_EXIT).
#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u
#define STATUS_CONTROL_C_EXIT 0xC000013Au
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD);
// Adds (or removes) a handler; the first one added starts the signals' thread.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Ends the process, from any thread, the way Windows does: the other threads
// stop, no static destructor or atexit handler runs, and what the layer above
// registered with at_process_exit runs on the way out (every open MIDI
// device silenced and its output made complete), for at most
// exit_device_wait_ms: a device that hangs does not keep the process.
// STATUS_CONTROL_C_EXIT after a signal ends the process by that signal, as it
// would have ended without a handler (a controller sees "killed by SIGTERM").
constexpr unsigned exit_device_wait_ms = 1000;
[[noreturn]] void ExitProcess(UINT exit_code);

// Not Windows': how the layer above kernel32 (the devices) has ExitProcess
// silence what it opened. Steps run the last registered first; at most
// max_exit_steps are kept, the same step once. Any thread, any time.
constexpr unsigned max_exit_steps = 8;
void at_process_exit(void (*step)());
