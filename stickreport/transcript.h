// The screen's lines as the report keeps them. Text written to the console
// is taken as a terminal shows it: a carriage return goes back to the
// line's start (the progress line, rewritten in place, is kept as it last
// stood when a line feed ended it), a backspace one column back, and escape
// sequences are no text. The blank lines that clear the screen at start-up
// are left out.
//
// The lines are kept whole while they fit: past that, the first ones (the
// start-up) and the last ones, with the number of lines left out between
// them. Its storage is taken whole when it is made, before the test area
// is, and never grows.
#ifndef CELLCHECK_STICKREPORT_TRANSCRIPT_H_
#define CELLCHECK_STICKREPORT_TRANSCRIPT_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/types.h"

class Transcript {
 public:
  // Longer lines are cut; a terminal would wrap them.
  static constexpr size_t kMaxLineBytes = 4096;

  // `headBytes` for the first lines, `tailBytes` for the last ones.
  Transcript(size_t headBytes, size_t tailBytes);

  // Console text, as it was written.
  void feed(const char* text, size_t length);
  // `count` lines never reached the transcript (the console's ring was
  // lapped): the line being written ends, and a line says so.
  void lost(u64 count);

  // Every line kept, in order, without its line feed: the head, a line
  // with the number left out (when any), the last lines, and the line being
  // written, as it stands now (when not blank).
  void forEachLine(const std::function<void(const char*, size_t)>& line) const;
  // Lines left out between the head and the last ones.
  u64 leftOut() const { return leftOut_; }

 private:
  void endLine();
  void store(const char* text, size_t length);
  void storeTail(const char* text, size_t length);

  // The line being written, as a terminal shows it.
  char line_[kMaxLineBytes];
  size_t lineLength_ = 0;
  size_t column_ = 0;
  bool inEscape_ = false;
  bool sawText_ = false;  // a line with text was stored

  // Lines stored, each ending in '\n'.
  std::unique_ptr<char[]> head_;
  size_t headBytes_;
  size_t headUsed_ = 0;
  bool headFull_ = false;
  // A ring of the last lines: they begin at tailStart_ and take tailUsed_
  // bytes.
  std::unique_ptr<char[]> tail_;
  size_t tailBytes_;
  size_t tailStart_ = 0;
  size_t tailUsed_ = 0;
  u64 leftOut_ = 0;
};

#endif  // CELLCHECK_STICKREPORT_TRANSCRIPT_H_
