// A forked child that runs code under the fault guard, and what it printed
// before it stopped: the guard's stop must be said, and the first process
// must never end.
#ifndef CELLCHECK_TESTS_SUPPORT_STOPPED_CHILD_H_
#define CELLCHECK_TESTS_SUPPORT_STOPPED_CHILD_H_

#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "base/stop_message.h"

// A real fault, without undefined behaviour for the sanitizers to stop at.
inline void storeToReadOnlyPage() {
  void* page = mmap(nullptr, static_cast<size_t>(sysconf(_SC_PAGESIZE)),
                    PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) abort();
  *static_cast<volatile char*>(page) = 1;
}

// What a forked child printed before it stopped, and whether it was still
// there afterwards (the first process must never end). The child runs
// `act` with stdout on a pipe.
struct Stopped {
  std::string output;
  bool stillThere;
};

template <class Act>
Stopped runChild(Act act) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) abort();
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    act();
    _exit(0);  // not reached when the guard stops the child
  }
  close(pipeEnds[1]);
  Stopped result{std::string(), false};
  const time_t deadline = time(nullptr) + 20;
  while (result.output.find(kStopMessage) == std::string::npos &&
         time(nullptr) < deadline) {
    pollfd ready{pipeEnds[0], POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) continue;
    char chunk[512];
    const ssize_t n = read(pipeEnds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    result.output.append(chunk, static_cast<size_t>(n));
  }
  // Give a child that would end the time to do so, and take what it
  // printed meanwhile (a fault while it stops prints once more).
  usleep(200000);
  for (pollfd ready{pipeEnds[0], POLLIN, 0}; poll(&ready, 1, 0) > 0;) {
    char chunk[512];
    const ssize_t n = read(pipeEnds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    result.output.append(chunk, static_cast<size_t>(n));
  }
  result.stillThere = waitpid(child, nullptr, WNOHANG) == 0;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(pipeEnds[0]);
  return result;
}

#endif  // CELLCHECK_TESTS_SUPPORT_STOPPED_CHILD_H_
