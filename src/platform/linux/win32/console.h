// What kernel32's threads share with the console's control events
// (console.cpp): the signals that are those events, which every thread of
// ours but the one that takes them starts with blocked.
#pragma once

#include <signal.h>

const sigset_t& console_signals();
