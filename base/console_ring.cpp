#include "base/console_ring.h"

#include <cstring>

namespace {

u64 countNewlines(const char* text, size_t length) {
  u64 count = 0;
  const char* end = text + length;
  for (const char* at = text;
       (at = static_cast<const char*>(memchr(at, '\n', end - at))) != nullptr;
       ++at) {
    ++count;
  }
  return count;
}

}  // namespace

void ConsoleRing::keep(const char* text, size_t length) {
  newlines_ += countNewlines(text, length);
  // Of a text longer than the ring only its end can stay.
  if (length > kBytes) {
    written_ += length - kBytes;
    text += length - kBytes;
    length = kBytes;
  }
  const size_t at = written_ % kBytes;
  const size_t first = length < kBytes - at ? length : kBytes - at;
  memcpy(bytes_ + at, text, first);
  memcpy(bytes_, text + first, length - first);
  written_ += length;
}

void ConsoleRing::drain(
    const std::function<void(const char* text, size_t length)>& take,
    u64* linesLost) {
  *linesLost = 0;
  u64 from = read_;
  if (written_ - from > kBytes) {
    // Lapped: what is left begins mid-line, after the lost lines. Skip to
    // the next line's start.
    from = written_ - kBytes;
    while (from < written_ && bytes_[from % kBytes] != '\n') ++from;
    if (from < written_) ++from;
    u64 kept = 0;
    for (u64 n = from; n < written_; ++n) kept += bytes_[n % kBytes] == '\n';
    *linesLost = newlines_ - newlinesRead_ - kept;
  }
  while (from < written_) {
    const size_t at = from % kBytes;
    const u64 left = written_ - from;
    const size_t piece = left < kBytes - at ? left : kBytes - at;
    take(bytes_ + at, piece);
    from += piece;
  }
  read_ = written_;
  newlinesRead_ = newlines_;
}

ConsoleRing& consoleRing() {
  static ConsoleRing ring;
  return ring;
}
