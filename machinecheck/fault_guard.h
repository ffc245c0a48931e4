// The first process's guard against SIGBUS and SIGSEGV. Unhandled, either
// ends the first process, and the kernel panics ("Attempted to kill
// init!"), taking down the machine the user wanted to test.
//
// An uncorrected memory error in the test area (SIGBUS with BUS_MCEERR_AR or
// BUS_MCEERR_AO: the kernel has already taken the page away) is survived:
// the handler notes the page's physical address while the kernel's marker
// still names it, puts a fresh page in its place and logs the fault; the
// program reports it between tests, and the test that was running goes on
// (a read that met the error is repeated, on the fresh page). A lost page
// that several threads met (each that touches it before it is replaced
// gets a signal) is replaced and logged once. Anything else
// (a program fault, or an uncorrected error in the program's own memory,
// which it cannot do without) is printed with its address, followed by the
// stop message, and the process waits for the machine to be switched off.
//
// A fault inside the handler itself comes back to it (nothing is blocked
// while it runs): it is printed as a program fault in the handler, followed
// by the stop message, and the process waits as above; it never returns
// into the fault, and never leaves the fault to the default action, which
// would end the first process. A report from the memory scrubber
// (BUS_MCEERR_AO) that comes while the handler runs is taken up after the
// fault at hand.
//
// The handler makes only system calls (through the kernel seam's memory
// errors role, whose files it reads are opened in install()) and writes to
// fixed tables; it runs on a stack of its own, so that an overflowing stack
// is caught too, and leaves errno as it found it.
#ifndef CELLCHECK_MACHINECHECK_FAULT_GUARD_H_
#define CELLCHECK_MACHINECHECK_FAULT_GUARD_H_

#include <signal.h>

#include <atomic>
#include <cstdint>

#include "base/types.h"
#include "machinecheck/memory_faults.h"
#include "seam/memory_errors.h"

class MemoryFaultGuard {
 public:
  MemoryFaultGuard(MemoryErrorTraps& traps, MemoryFaultLog& log);
  // Puts back the handlers that were there before (tests make guards of
  // their own; the program's guard lives until power-off).
  ~MemoryFaultGuard();
  MemoryFaultGuard(const MemoryFaultGuard&) = delete;
  MemoryFaultGuard& operator=(const MemoryFaultGuard&) = delete;

  // Catches SIGBUS and SIGSEGV from now on and asks the kernel to report
  // uncorrected errors in this process's memory as soon as they are found;
  // the files the handler reads are opened here (/proc must be mounted).
  // One guard per process at a time. False when the handlers could not be
  // set.
  bool install();
  // Called on each thread started after install() (the workers), before
  // it tests: its own stack for the handler. False when it has none.
  bool guardThisThread();
  // Uncorrected errors in [area, area + bytes) are survived from now on.
  // `locked`: the area is locked in RAM, and so is each page put in.
  void guardArea(char* area, u64 bytes, bool locked);

 private:
  static void onSignal(int signal, siginfo_t* info, void* context);
  // True when the fault was an uncorrected error in the area whose page
  // was replaced: the program may go on.
  bool survive(const siginfo_t& info);
  // Under the lock, for a page whose marker is gone: true when another
  // entry of the handler replaced it already. Linux sends SIGBUS to every
  // thread that touches a lost page before it is dropped (and the
  // scrubber's report may come on one thread while another reads the
  // page): the fault was logged once, and the fresh page now holds what
  // the tests wrote since. Replacing it again would wipe that and log a
  // second fault with no address.
  bool replacedAlready(uintptr_t page);
  [[noreturn]] void stop(int signal, const siginfo_t& info, void* context);
  // An entry while the handler runs: a scrubber's report is kept for later
  // and returns; a fault inside the handler stops the program.
  void reenter(int signal, const siginfo_t& info, void* context);

  MemoryErrorTraps& traps_;
  MemoryFaultLog& log_;
  uintptr_t areaBegin_ = 0;
  uintptr_t areaEnd_ = 0;
  bool locked_ = false;
  bool installed_ = false;
  u64 install_ = 0;  // which install() this is, from 1
  // Held while a handler replaces a page and logs it: workers may meet
  // errors at once, and the log has one writer at a time. A spin lock, as
  // the only lock a handler may take; the handler blocks both signals, so
  // a thread never waits for itself.
  std::atomic_flag replacing_ = ATOMIC_FLAG_INIT;
  // Set by the first thread that stops the run: the others that fault
  // meanwhile wait silently, so the stop is said once.
  std::atomic_flag stopping_ = ATOMIC_FLAG_INIT;
};

#endif  // CELLCHECK_MACHINECHECK_FAULT_GUARD_H_
