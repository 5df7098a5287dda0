// The C runtime's binary-mode call and its low-level write. Standard input
// has no text mode here, so binary mode is the only mode and the call only
// reports the mode it had.
// As on Windows, a write to a pipe whose reader has gone fails (EPIPE) rather
// than ending the process, and a standard stream closed when the process
// starts is open (on the null device) before anything else is.
#pragma once

#include <cstdio>

#define _O_TEXT 0x4000
#define _O_BINARY 0x8000

int _fileno(FILE* stream);
int _setmode(int fd, int mode);

// Writes up to count bytes to the descriptor; the count written, or -1.
int _write(int fd, const void* buffer, unsigned count);
