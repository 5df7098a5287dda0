// The clean stop: every way out of the process goes through end_process.
#include "control/stop.h"

#include "state/messages.h"
#include "state/player_state.h"

namespace {

// Never signalled: where a second caller of end_process waits for the end.
HANDLE never_signalled;

}  // namespace

void install_stop_handlers() {
    never_signalled = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(console_event, TRUE);
}

void end_process(UINT status) {
    EnterCriticalSection(&player_state.lock);
    bool first = !player_state.stopping;
    player_state.stopping = true;
    // The pass wakes and tears down; the loop wakes between passes.
    if (first && player_state.wake_event) SetEvent(player_state.wake_event);
    if (first) SetEvent(player_state.name_event);
    LeaveCriticalSection(&player_state.lock);
    if (!first) {
        for (;;) WaitForSingleObject(never_signalled, INFINITE);
    }
    WaitForSingleObject(player_state.loop_stopped, teardown_wait_ms);
    wait_messages_written(messages_wait_ms);
    // Every marker was flushed as it was written; nothing is flushed here, for
    // a flush could block for ever behind a controller that has stopped reading.
    ExitProcess(status);
}

BOOL WINAPI console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: end_process(STATUS_CONTROL_C_EXIT);
    default: return FALSE;
    }
}
