#include "stickreport/transcript.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

Transcript::Transcript(size_t headBytes, size_t tailBytes)
    : head_(new char[headBytes]),
      headBytes_(headBytes),
      tail_(new char[tailBytes]),
      tailBytes_(tailBytes) {}

void Transcript::feed(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (inEscape_) {
      // ESC [ parameters, then a final letter.
      if (c >= '@' && c <= '~' && c != '[') inEscape_ = false;
      continue;
    }
    switch (c) {
      case '\n':
        endLine();
        break;
      case '\r':
        column_ = 0;
        break;
      case '\b':
        if (column_ > 0) --column_;
        break;
      case '\x1b':
        inEscape_ = true;
        break;
      case '\t':
        do {
          if (column_ < kMaxLineBytes) line_[column_++] = ' ';
        } while (column_ % 8 != 0 && column_ < kMaxLineBytes);
        if (column_ > lineLength_) lineLength_ = column_;
        break;
      default:
        // Control bytes are no text; a terminal ignores DEL too.
        if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') break;
        if (column_ < kMaxLineBytes) {
          line_[column_++] = c;
          if (column_ > lineLength_) lineLength_ = column_;
        }
    }
  }
}

void Transcript::endLine() {
  size_t length = lineLength_;
  // A terminal shows no trailing blanks (the spinner's last place).
  while (length > 0 && line_[length - 1] == ' ') --length;
  if (length != 0 || sawText_) store(line_, length);
  if (length != 0) sawText_ = true;
  lineLength_ = 0;
  column_ = 0;
}

void Transcript::lost(u64 count) {
  if (count == 0) return;
  if (lineLength_ != 0) endLine();
  char text[96];
  const int length = snprintf(
      text, sizeof text,
      "[%" PRIu64 " lines came too fast to be kept for this report]", count);
  store(text, static_cast<size_t>(length));
  sawText_ = true;
}

void Transcript::store(const char* text, size_t length) {
  if (!headFull_) {
    if (headUsed_ + length + 1 <= headBytes_) {
      memcpy(head_.get() + headUsed_, text, length);
      head_[headUsed_ + length] = '\n';
      headUsed_ += length + 1;
      return;
    }
    headFull_ = true;
  }
  storeTail(text, length);
}

void Transcript::storeTail(const char* text, size_t length) {
  if (length + 1 > tailBytes_) length = tailBytes_ - 1;
  // The oldest lines of the tail give way, whole.
  while (tailUsed_ + length + 1 > tailBytes_) {
    size_t skipped = 0;
    while (tail_[(tailStart_ + skipped) % tailBytes_] != '\n') ++skipped;
    ++skipped;
    tailStart_ = (tailStart_ + skipped) % tailBytes_;
    tailUsed_ -= skipped;
    ++leftOut_;
  }
  size_t at = (tailStart_ + tailUsed_) % tailBytes_;
  for (size_t i = 0; i < length; ++i) {
    tail_[at] = text[i];
    at = (at + 1) % tailBytes_;
  }
  tail_[at] = '\n';
  tailUsed_ += length + 1;
}

void Transcript::forEachLine(
    const std::function<void(const char*, size_t)>& line) const {
  size_t begin = 0;
  for (size_t i = 0; i < headUsed_; ++i) {
    if (head_[i] != '\n') continue;
    line(head_.get() + begin, i - begin);
    begin = i + 1;
  }
  if (leftOut_ != 0) {
    char text[80];
    const int length =
        snprintf(text, sizeof text, "[... %" PRIu64 " lines left out here ...]",
                 leftOut_);
    line(text, static_cast<size_t>(length));
  }
  std::string piece;
  for (size_t n = 0; n < tailUsed_; ++n) {
    const char c = tail_[(tailStart_ + n) % tailBytes_];
    if (c != '\n') {
      piece += c;
      continue;
    }
    line(piece.data(), piece.size());
    piece.clear();
  }
  size_t length = lineLength_;
  while (length > 0 && line_[length - 1] == ' ') --length;
  if (length != 0) line(line_, length);
}
