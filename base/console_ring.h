// A copy of everything the program writes to the console, kept in a fixed
// ring until the step between tests takes it: the report on the boot stick
// holds every line the screen showed. Keeping costs a copy and never
// allocates, so the error path may write; the ring is read between tests.
// One thread writes and reads it.
#ifndef CELLCHECK_BASE_CONSOLE_RING_H_
#define CELLCHECK_BASE_CONSOLE_RING_H_

#include <cstddef>
#include <functional>

#include "base/types.h"

class ConsoleRing {
 public:
  // Far more than one step's worth of lines; a flood of errors within one
  // test (a dead data line) may still pass it, and then only its last part
  // is kept.
  static constexpr size_t kBytes = 64 * 1024;

  void keep(const char* text, size_t length);

  // Hands `take` what was kept since the last call, in order, in one or two
  // pieces. When more came than the ring holds, only the last part is
  // handed on, from the start of a line, and `*linesLost` tells how many
  // lines were lost before it (else 0).
  void drain(const std::function<void(const char* text, size_t length)>& take,
             u64* linesLost);

 private:
  char bytes_[kBytes] = {};
  u64 written_ = 0;  // bytes kept in all; byte n is at n % kBytes
  u64 read_ = 0;     // bytes handed on or lost
  u64 newlines_ = 0;
  u64 newlinesRead_ = 0;
};

// The console's ring: cprintf and consoleWrite keep everything they write
// in it.
ConsoleRing& consoleRing();

#endif  // CELLCHECK_BASE_CONSOLE_RING_H_
