// Hardware write watchpoints in another process, through ptrace: the process
// stops right after every store that touches a watched 32-bit word, for as
// long as it takes the tracer to look at the word, and runs at full speed
// otherwise. This is how the lab makes a bit stuck at 0 or 1 for a running
// program without changing the program.
#ifndef CELLCHECK_LAB_REMOTE_WATCHPOINTS_H_
#define CELLCHECK_LAB_REMOTE_WATCHPOINTS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>

class RemoteWatchpoints {
 public:
  static constexpr int kSlots = 4;  // the CPU's debug address registers

  // Called while the process is stopped after a store to watched words;
  // `slots` has bit i set for each slot the CPU named.
  using OnStore = std::function<void(unsigned slots)>;

  RemoteWatchpoints(pid_t pid, OnStore onStore)
      : pid_(pid), onStore_(std::move(onStore)) {}
  // Clears every watchpoint before it lets the process go: a watchpoint
  // left behind would kill it with SIGTRAP at its next store there.
  ~RemoteWatchpoints();
  RemoteWatchpoints(const RemoteWatchpoints&) = delete;
  RemoteWatchpoints& operator=(const RemoteWatchpoints&) = delete;

  // Watches the 4-byte-aligned word at address; returns its slot, or -1 when
  // all slots are taken or the process cannot be traced. `whileStopped` runs
  // with the process stopped, before it goes on (the fault's first forcing).
  int add(uint64_t address, const std::function<void()>& whileStopped);
  void remove(int slot);

  // Handles every stop the process has made since the last call, without
  // waiting. False once the process has ended.
  bool handleStops();

 private:
  bool attach();
  // Stops the process and waits until it is stopped; handles the stores that
  // arrive first.
  bool interrupt();
  void resume(int signal);
  // One stop; returns false if the process has ended. *interrupted is set
  // when the stop is the one interrupt() asked for.
  bool handleStop(int status, bool* interrupted);
  void writeControl();

  pid_t pid_;
  OnStore onStore_;
  bool attached_ = false;
  bool gone_ = false;
  bool used_[kSlots] = {};
};

#endif  // CELLCHECK_LAB_REMOTE_WATCHPOINTS_H_
