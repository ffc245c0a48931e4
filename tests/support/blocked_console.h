// Standard output on a pipe that is full, as a serial console is when the
// program writes faster than 115200 baud carries: the next write waits.
// run() lets a thread write while the console is full, sends that thread a
// signal once it is asleep in write(), and only then reads the pipe, so
// that the write is interrupted while it waits.
#ifndef CELLCHECK_TESTS_SUPPORT_BLOCKED_CONSOLE_H_
#define CELLCHECK_TESTS_SUPPORT_BLOCKED_CONSOLE_H_

#include <signal.h>

#include <cstddef>
#include <functional>
#include <string>

class BlockedConsole {
 public:
  // `room`: bytes the pipe still takes before it is full (a write of more
  // may then be cut short by the signal rather than fail).
  explicit BlockedConsole(size_t room = 0);
  // Puts standard output back (run() does, once it is done).
  ~BlockedConsole();
  BlockedConsole(const BlockedConsole&) = delete;
  BlockedConsole& operator=(const BlockedConsole&) = delete;

  // Runs `write` on a thread of its own and sends that thread
  // `info.si_signo` with `info` once it waits in write(); reads the pipe
  // until `write` has returned, and returns what was written after the
  // filler. `info.si_code` must be one a process may send (SI_QUEUE): the
  // kernel's own codes only a thread may send itself. Once.
  std::string run(const std::function<void()>& write, const siginfo_t& info);
  // Whether the signal was sent while the writer waited.
  bool interrupted() const { return interrupted_; }

 private:
  int readEnd_ = -1;
  int savedStdout_ = -1;
  size_t filler_ = 0;
  bool interrupted_ = false;
};

#endif  // CELLCHECK_TESTS_SUPPORT_BLOCKED_CONSOLE_H_
