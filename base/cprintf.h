// The one output primitive: every message of the program goes through it.
#ifndef CELLCHECK_BASE_CPRINTF_H_
#define CELLCHECK_BASE_CPRINTF_H_

// Formats like printf, writes to standard output and flushes at once, so the
// text is on the screen before the next test starts (and a forked child never
// inherits unwritten output). Write errors are ignored.
void cprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // CELLCHECK_BASE_CPRINTF_H_
