#include "lab/remote_watchpoints.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstddef>

namespace {

long debugRegister(int i) {
  return static_cast<long>(offsetof(struct user, u_debugreg) +
                           i * sizeof(long));
}

// DR7 for a watched slot: locally enabled, break on data writes, 4 bytes.
unsigned long controlBits(int slot) {
  const unsigned long enable = 1ul << (2 * slot);
  const unsigned long writeOnly = 1ul << (16 + 4 * slot);
  const unsigned long fourBytes = 3ul << (18 + 4 * slot);
  return enable | writeOnly | fourBytes;
}

bool isInterruptStop(int status) {
  return WIFSTOPPED(status) && (status >> 16) == PTRACE_EVENT_STOP;
}

}  // namespace

RemoteWatchpoints::~RemoteWatchpoints() {
  if (!attached_ || gone_) return;
  if (!interrupt()) return;
  for (int i = 0; i < kSlots; ++i) used_[i] = false;
  writeControl();
  ptrace(PTRACE_DETACH, pid_, nullptr, nullptr);
}

bool RemoteWatchpoints::attach() {
  if (attached_) return true;
  // Seizing does not stop the process; it stops only at our interrupts and
  // at the traps of its watchpoints.
  if (ptrace(PTRACE_SEIZE, pid_, nullptr, nullptr) != 0) return false;
  attached_ = true;
  return true;
}

void RemoteWatchpoints::resume(int signal) {
  ptrace(PTRACE_CONT, pid_, nullptr, reinterpret_cast<void*>(signal));
}

bool RemoteWatchpoints::handleStop(int status, bool* interrupted) {
  if (WIFEXITED(status) || WIFSIGNALED(status)) {
    gone_ = true;
    return false;
  }
  if (!WIFSTOPPED(status)) return true;
  if (isInterruptStop(status)) {
    *interrupted = true;
    return true;
  }
  int passOn = WSTOPSIG(status);
  if (passOn == SIGTRAP) {
    errno = 0;
    const long dr6 = ptrace(PTRACE_PEEKUSER, pid_, debugRegister(6), nullptr);
    const unsigned hits = errno == 0 ? static_cast<unsigned>(dr6) & 0xf : 0;
    if (hits != 0) {
      onStore_(hits);
      passOn = 0;  // our trap, not the program's
    }
  }
  resume(passOn);
  return true;
}

bool RemoteWatchpoints::handleStops() {
  if (gone_) return false;
  if (!attached_) return true;
  for (;;) {
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG | __WALL);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      gone_ = true;
      return false;
    }
    bool interrupted = false;
    if (!handleStop(status, &interrupted)) return false;
    if (interrupted) resume(0);  // a stop nobody waits for: go on
  }
}

bool RemoteWatchpoints::interrupt() {
  if (ptrace(PTRACE_INTERRUPT, pid_, nullptr, nullptr) != 0) return false;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, __WALL) < 0) {
      if (errno == EINTR) continue;
      gone_ = true;
      return false;
    }
    bool interrupted = false;
    if (!handleStop(status, &interrupted)) return false;
    if (interrupted) return true;
  }
}

void RemoteWatchpoints::writeControl() {
  unsigned long control = 0;
  for (int i = 0; i < kSlots; ++i) {
    if (used_[i]) control |= controlBits(i);
  }
  ptrace(PTRACE_POKEUSER, pid_, debugRegister(7),
         reinterpret_cast<void*>(control));
}

int RemoteWatchpoints::add(uint64_t address,
                           const std::function<void()>& whileStopped) {
  int slot = -1;
  for (int i = 0; i < kSlots && slot < 0; ++i) {
    if (!used_[i]) slot = i;
  }
  if (slot < 0 || !attach() || !interrupt()) return -1;
  if (ptrace(PTRACE_POKEUSER, pid_, debugRegister(slot),
             reinterpret_cast<void*>(address)) != 0) {
    resume(0);
    return -1;
  }
  used_[slot] = true;
  writeControl();
  whileStopped();
  resume(0);
  return slot;
}

void RemoteWatchpoints::remove(int slot) {
  if (slot < 0 || !used_[slot] || !interrupt()) return;
  used_[slot] = false;
  writeControl();
  ptrace(PTRACE_POKEUSER, pid_, debugRegister(slot), nullptr);
  resume(0);
}
