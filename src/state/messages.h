// Messages on standard error that hold a file name, which may be up to 65407
// bytes long.
#pragma once

#if defined(__GNUC__)
#define SMF_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define SMF_PRINTF_FORMAT
#endif

// Formats the message and writes it with one call, then flushes. The
// runtime's formatted output to unbuffered standard error hands a long text
// over in pieces (8 KB at a time) without holding the stream between them, so
// that the other thread's messages could land inside it; one write of the
// whole text holds the stream throughout.
void write_message(const char* format, ...) SMF_PRINTF_FORMAT;
