// The control channel: binary commands on standard input.
//   B0 = 0x00 or 0x80..0xFF, B1 = volume        a new volume, 0 to 255
//   B0 = 0x01..0x7F, B1, then L bytes            a file name, L = B0 + 256 * B1
#pragma once

#include "platform/platform.h"

// The thread procedure; never returns: the end of standard input, a failed
// read or a name cut short ends the process with status 0 (end_process).
DWORD WINAPI control_thread(LPVOID parameter);

// Starts control_thread beside the pass loop; when it cannot start (no
// thread or memory left), says so in one line and ends the process with
// status 1, since nothing else could ever stop it.
void start_control_thread();
