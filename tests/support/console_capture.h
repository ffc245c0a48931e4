// Captures what the program writes to standard output, byte for byte. While
// a capture is alive, stdout is fully buffered and goes to a memory file, so
// only text that was really flushed can be taken. What is not taken is
// passed on to the real stdout at the end.
#ifndef CELLCHECK_TESTS_SUPPORT_CONSOLE_CAPTURE_H_
#define CELLCHECK_TESTS_SUPPORT_CONSOLE_CAPTURE_H_

#include <string>

class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // The bytes that reached the console since the last take(), without
  // flushing anything first.
  std::string take();

 private:
  int file_;
  int savedStdout_;
  long taken_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_CONSOLE_CAPTURE_H_
