// The kernel seam, memory errors role: uncorrected memory errors, and the
// first process's handler for SIGBUS and SIGSEGV that survives them
// (machinecheck/fault_guard.h). The kernel takes a page with such an error
// away from the process and sends it SIGBUS (BUS_MCEERR_AR when the program
// read it, BUS_MCEERR_AO when the hardware found it first).
//
// Everything but trapFaults and releaseFaults is called from that handler:
// system calls only, no allocation.
//
// Failure convention: false, or kUnknownAddress for an address not known;
// never a guess.
#ifndef CELLCHECK_SEAM_MEMORY_ERRORS_H_
#define CELLCHECK_SEAM_MEMORY_ERRORS_H_

#include <signal.h>

#include "base/types.h"
#include "base/unknown_address.h"

class MemoryErrorTraps {
 public:
  using FaultHandler = void (*)(int signal, siginfo_t* info, void* context);

  virtual ~MemoryErrorTraps() = default;

  // Opens what the handler reads (the page map and the page flags: opened
  // inside the handler, they would race the main path's own use), sets
  // `handler` for SIGBUS and SIGSEGV as faultAction() below says, and asks
  // the kernel to tell this process of an uncorrected error in its memory
  // as soon as it is found, not only when the program next reads the page.
  // False when the handlers could not be set.
  virtual bool trapFaults(FaultHandler handler) = 0;
  // Puts back the handlers and the stack there were before.
  virtual void releaseFaults() = 0;
  // Gives the calling thread, started after trapFaults, a stack of its own
  // for the handler (the signal stack belongs to one thread): without it a
  // fault on that thread would run the handler on the faulting stack. False
  // when no stack could be had. Once per thread; the stack is never freed.
  virtual bool trapFaultsOnThisThread() = 0;
  // False in a child that inherited the handler (the memory measurement
  // forks): it must end as it would have without one.
  virtual bool inTrappingProcess() = 0;
  // The default action for `signal` from now on, and the signal sent
  // again: it ends the process once the handler returns.
  virtual void endAsUntrapped(int signal) = 0;

  // The physical address the byte at `address` had on a page the kernel
  // took away: the page map's entry in its place names the frame, and the
  // frame's poison flag confirms it. kUnknownAddress when either does not.
  virtual u64 lostPhysicalAddress(const void* address) = 0;
  // Puts a fresh page of zeros at [page, page + bytes) in place of one the
  // kernel took away, locked in RAM when `locked`. It takes no new memory
  // commitment (under strict accounting the kernel might refuse one): the
  // mapping stays, only its lost page is replaced.
  virtual bool replaceLostPage(void* page, u64 bytes, bool locked) = 0;
  // What the first process does when it cannot go on, from the handler or
  // from main: it waits for the power switch. It must not return from main
  // or crash, since either makes the kernel panic.
  [[noreturn]] virtual void waitForPowerOff() = 0;
};

// How trapFaults sets the handler, on every side of the seam:
// - SA_SIGINFO: the handler reads the fault's code and address;
// - SA_ONSTACK: on a stack of its own, so that an overflowing stack is
//   caught too;
// - SA_RESTART: a system call the signal interrupts goes on afterwards (a
//   report from the memory scrubber must not make a write that waits on a
//   full serial console fail);
// - SA_NODEFER and nothing blocked: a fault inside the handler comes back
//   to it, which stops the program with its stop message. Blocked, the
//   kernel would take the default action, end the first process and panic.
inline struct sigaction faultAction(MemoryErrorTraps::FaultHandler handler) {
  struct sigaction action = {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  return action;
}

#endif  // CELLCHECK_SEAM_MEMORY_ERRORS_H_
