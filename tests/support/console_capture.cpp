#include "tests/support/console_capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
char buffer[1 << 16];
}

ConsoleCapture::ConsoleCapture() : taken_(0) {
  fflush(stdout);
  file_ = memfd_create("console", 0);
  savedStdout_ = dup(STDOUT_FILENO);
  if (file_ < 0 || savedStdout_ < 0 || dup2(file_, STDOUT_FILENO) < 0) abort();
  setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

ConsoleCapture::~ConsoleCapture() {
  fflush(stdout);
  // Whatever was not taken (a failing test's messages among it) still
  // reaches the real console.
  const std::string rest = take();
  dup2(savedStdout_, STDOUT_FILENO);
  if (write(STDOUT_FILENO, rest.data(), rest.size()) < 0) {
  }
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  close(savedStdout_);
  close(file_);
}

std::string ConsoleCapture::take() {
  std::string out;
  char chunk[4096];
  for (;;) {
    const ssize_t n = pread(file_, chunk, sizeof chunk, taken_);
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
    taken_ += n;
  }
  return out;
}
