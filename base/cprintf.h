// The one output primitive: every message of the program goes through it,
// and everything it writes is also kept in the console's ring
// (base/console_ring.h) for the report on the boot stick.
#ifndef CELLCHECK_BASE_CPRINTF_H_
#define CELLCHECK_BASE_CPRINTF_H_

#include <cstddef>

// Formats like printf, writes to standard output and flushes at once, so the
// text is on the screen before the next test starts (and a forked child never
// inherits unwritten output). Write errors are ignored.
void cprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes `length` bytes as they are, the same way (kept in the ring too): for
// text built whole beforehand (the progress line).
void consoleWrite(const char* text, size_t length);

// Keeps `length` bytes in the console's ring without writing them: text that
// a forked child wrote to the console itself, into its own copy of the ring,
// which ended with it.
void keepChildOutput(const char* text, size_t length);

// Writes `size` bytes of `text` to standard output, all of them: a write
// that a signal interrupts (EINTR) or cuts short, as one may while a full
// serial console makes it wait, goes on with what is left. Gives up only
// when the console refuses the bytes. Only write(): a signal handler may
// call it.
void writeConsole(const char* text, size_t size);

#endif  // CELLCHECK_BASE_CPRINTF_H_
