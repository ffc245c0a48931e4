#include "tests/support/blocked_console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/small_file.h"

namespace {

// Whether thread `tid` of this process waits in write(): the kernel shows
// a blocked thread's system call number first (1 is write on x86-64).
bool waitsInWrite(pid_t tid) {
  const std::string call =
      readSmallFile("/proc/self/task/" + std::to_string(tid) + "/syscall");
  return call.compare(0, 2, "1 ") == 0;
}

// Whether `signal` waits to be taken by thread `tid` of this process.
bool pending(pid_t tid, int signal) {
  const std::string status =
      readSmallFile("/proc/self/task/" + std::to_string(tid) + "/status");
  const size_t at = status.find("\nSigPnd:");
  if (at == std::string::npos) return false;
  const unsigned long long mask =
      strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (signal - 1) & 1) != 0;
}

}  // namespace

BlockedConsole::BlockedConsole(size_t room) {
  fflush(stdout);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) abort();
  readEnd_ = ends[0];
  const int capacity = fcntl(ends[1], F_GETPIPE_SZ);
  if (capacity <= 0 || room >= static_cast<size_t>(capacity)) abort();
  fcntl(ends[1], F_SETFL, O_NONBLOCK);
  // One write leaves exactly `room` in the last page; then small ones fill
  // what is left when no room is wanted.
  std::vector<char> filler(static_cast<size_t>(capacity) - room, '.');
  const ssize_t first = write(ends[1], filler.data(), filler.size());
  if (first != static_cast<ssize_t>(filler.size())) abort();
  filler_ = filler.size();
  while (room == 0 && write(ends[1], ".", 1) == 1) ++filler_;
  fcntl(ends[1], F_SETFL, 0);
  savedStdout_ = dup(STDOUT_FILENO);
  if (savedStdout_ < 0 || dup2(ends[1], STDOUT_FILENO) < 0) abort();
  close(ends[1]);
}

BlockedConsole::~BlockedConsole() {
  dup2(savedStdout_, STDOUT_FILENO);
  close(savedStdout_);
  close(readEnd_);
}

std::string BlockedConsole::run(const std::function<void()>& write,
                                const siginfo_t& info) {
  std::atomic<pid_t> writer{0};
  std::atomic<bool> written{false};
  std::thread thread([&] {
    writer = static_cast<pid_t>(gettid());
    write();
    written = true;
  });
  while (writer.load() == 0) usleep(1000);
  while (!written.load() && !waitsInWrite(writer.load())) usleep(1000);
  if (!written.load()) {
    // Well asleep, not on its way in.
    usleep(20000);
    interrupted_ = syscall(SYS_rt_tgsigqueueinfo, getpid(), writer.load(),
                           info.si_signo, &info) == 0;
    // Nothing is read before the writer took the signal: the write it
    // waited in has then been broken off, and must go on by itself. Read
    // sooner, the pipe would let the write finish first.
    while (interrupted_ && pending(writer.load(), info.si_signo)) usleep(1000);
  }
  std::string read;
  for (;;) {
    pollfd ready{readEnd_, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) {
      if (written.load()) break;
      continue;
    }
    char chunk[4096];
    const ssize_t n = ::read(readEnd_, chunk, sizeof chunk);
    if (n <= 0) break;
    read.append(chunk, static_cast<size_t>(n));
  }
  thread.join();
  // The test's own messages reach the console again.
  dup2(savedStdout_, STDOUT_FILENO);
  return read.size() > filler_ ? read.substr(filler_) : std::string();
}
