// Text appended piece by piece into a caller's fixed buffer, cut off (never
// overrun) when it is full: lines put together without allocating.
#ifndef CELLCHECK_BASE_FIXED_TEXT_H_
#define CELLCHECK_BASE_FIXED_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdio>

class FixedText {
 public:
  FixedText(char* out, size_t size) : out_(out), size_(size) {
    if (size_ != 0) out_[0] = '\0';
  }
  void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (length_ + 1 >= size_) return;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(out_ + length_, size_ - length_, format, args);
    va_end(args);
    if (n > 0) {
      length_ += static_cast<size_t>(n);
      if (length_ >= size_) length_ = size_ - 1;
    }
  }
  bool empty() const { return length_ == 0; }
  const char* text() const { return out_; }

 private:
  char* out_;
  size_t size_;
  size_t length_ = 0;
};

#endif  // CELLCHECK_BASE_FIXED_TEXT_H_
