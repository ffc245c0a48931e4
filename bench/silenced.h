// Standard output sent to /dev/null while one is alive: the schedule prints
// its messages through cprintf.
#ifndef CELLCHECK_BENCH_SILENCED_H_
#define CELLCHECK_BENCH_SILENCED_H_

#include <unistd.h>

#include <cstdio>

class Silenced {
 public:
  Silenced() : saved_(dup(STDOUT_FILENO)) {
    fflush(stdout);
    FILE* null = fopen("/dev/null", "w");
    dup2(fileno(null), STDOUT_FILENO);
    fclose(null);
  }
  ~Silenced() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  Silenced(const Silenced&) = delete;
  Silenced& operator=(const Silenced&) = delete;

 private:
  int saved_;
};

#endif  // CELLCHECK_BENCH_SILENCED_H_
