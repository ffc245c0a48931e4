#include "base/cprintf.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/console_ring.h"

namespace {

// Every line of the error path fits, so it allocates nothing; a longer text
// is formatted on the heap, still reaches the screen whole, and its first
// part the ring.
constexpr size_t kLineBytes = 8192;

}  // namespace

void cprintf(const char* format, ...) {
  // Written past stdio, whose buffered text is lost when a signal interrupts
  // its write; anything a caller left there goes first.
  fflush(stdout);
  char line[kLineBytes];
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) return;
  if (static_cast<size_t>(length) < sizeof line) {
    consoleWrite(line, static_cast<size_t>(length));
    return;
  }
  std::string longer(static_cast<size_t>(length) + 1, '\0');
  va_start(args, format);
  vsnprintf(&longer[0], longer.size(), format, args);
  va_end(args);
  writeConsole(longer.data(), static_cast<size_t>(length));
  consoleRing().keep(longer.data(), sizeof line - 1);
}

void keepChildOutput(const char* text, size_t length) {
  consoleRing().keep(text, length);
}

void consoleWrite(const char* text, size_t length) {
  writeConsole(text, length);
  consoleRing().keep(text, length);
}

void writeConsole(const char* text, size_t size) {
  // The interrupted code may be about to read errno (the fault guard's
  // handler writes through here too).
  const int savedErrno = errno;
  while (size > 0) {
    const ssize_t n = write(STDOUT_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text += n;
    size -= static_cast<size_t>(n);
  }
  errno = savedErrno;
}
