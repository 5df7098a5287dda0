// The ways out of the process: the end of standard input, a name cut short
// and the console's control events (on Linux, SIGINT, SIGTERM and SIGHUP).
// Each stops the running pass through its own teardown (the device reset and
// closed) and then ends the process, within a bounded time.
#pragma once

#include "platform/platform.h"

// How long the end waits for the pass's teardown, then for the messages
// still waiting to be written; after that the process ends regardless (a
// device that hangs, standard error that nobody reads).
constexpr DWORD teardown_wait_ms = 200;
constexpr DWORD messages_wait_ms = 100;

// Registers console_event with SetConsoleCtrlHandler; the entry calls it
// before it starts the control thread and the first pass.
void install_stop_handlers();

// Stops the pass, writes what is waiting and ends the process with status.
// Any thread but the main one; a second caller waits for the first to end it.
[[noreturn]] void end_process(UINT status);

// The console's Ctrl-C, Ctrl-Break, close, log-off and shut-down events: the
// process ends as it would without a handler (STATUS_CONTROL_C_EXIT; on
// Linux, killed by the signal), after the clean stop.
BOOL WINAPI console_event(DWORD event);
