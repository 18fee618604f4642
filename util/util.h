// Utilities shared by every subsystem: a millisecond sleep and clock, hexadecimal text
// conversion, the process-wide verbosity level and the location prefix that
// starts every diagnostic.
//
// Diagnostics are written in two writes to the standard error stream: first
// the location "file:line:" of the report (reportLocation), then the message.
// Keeping the prefix in a write of its own lets a reader of an interleaved log
// still tell where each message came from.
#pragma once

#include <stddef.h>

// Process-wide verbosity. Zero at start; nothing in the charger changes it.
// Above 0 the port layer and the supply command set write open-time and
// per-reply lines, above 3 a line per send, above 4 a line per receive.
extern int DEBUG_LEVEL;

// Suspends the calling thread for `ms` milliseconds with one usleep call.
// Callers keep `ms` at or below 2147483 so that the microseconds fit 32 bits.
void msleep(int ms);

// Milliseconds on the monotonic clock, which no change of the time of day moves.
long monotonicMs();

// Returns the value of the hexadecimal digits at the start of `text`, read up
// to the first character that is not 0-9, a-f or A-F. No white space, sign or
// "0x" prefix is recognised; text without a leading digit yields 0. The value
// wraps modulo 2^32 and is returned as a two's-complement int.
int ahextoi(const char *text);

// Writes all `size` bytes of `data` on fd, finishing short writes and taking
// a write cut short by a signal again. Returns 0, or the error that stopped
// it (ENOSPC for a write that took nothing); *written, when given, receives
// the bytes that went out either way.
int writeAll(int fd, const char *data, size_t size, size_t *written = nullptr);

// Writes the location prefix "file:line:" to the standard error stream in a
// write of its own. `file` is the reporting module's source file name.
void reportLocation(const char *file, int line);

// The location of the line that uses it, with the source file's bare name.
#define REPORT_LOCATION() reportLocation(__FILE_NAME__, __LINE__)
