#include "base/cprintf.h"

#include <cstdarg>
#include <cstdio>

#include "base/console_ring.h"

namespace {

// Any line the program prints fits; a longer text still reaches the screen
// whole, and its first part the ring.
constexpr size_t kFormatBytes = 8192;

}  // namespace

void cprintf(const char* format, ...) {
  // Formatted on the stack: cprintf runs on the error path, where nothing
  // may be allocated.
  char text[kFormatBytes];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(length) < sizeof text) {
    fwrite(text, 1, static_cast<size_t>(length), stdout);
  } else {
    vprintf(format, again);
  }
  va_end(again);
  fflush(stdout);
  const size_t kept = static_cast<size_t>(length) < sizeof text
                          ? static_cast<size_t>(length)
                          : sizeof text - 1;
  consoleRing().keep(text, kept);
}

void keepChildOutput(const char* text, size_t length) {
  consoleRing().keep(text, length);
}

void consoleWrite(const char* text, size_t length) {
  fwrite(text, 1, length, stdout);
  fflush(stdout);
  consoleRing().keep(text, length);
}
