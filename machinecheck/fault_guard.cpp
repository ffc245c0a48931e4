#include "machinecheck/fault_guard.h"

#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "base/cprintf.h"
#include "base/hex.h"
#include "base/stop_message.h"

namespace {

// The guard whose handler is set; the handler has no other way to it. Set
// before the handlers are, cleared once they are gone.
std::atomic<MemoryFaultGuard*> active{nullptr};

// Entries of the handler now running on this thread (every worker may meet
// an error of its own at the same time: one thread's entry says nothing of
// another's). A second entry on one thread while the first runs is a fault
// inside the handler itself, or a report from the memory scrubber
// (BUS_MCEERR_AO), which is a signal like any other and may come at any
// time. Plain thread-locals of a static program, with no constructor: safe
// to touch in the handler.
thread_local volatile sig_atomic_t depth = 0;
// A scrubber's report that came while the handler ran on this thread, taken
// up before the handler returns. One is kept: a further one's page, when
// the program next reads it, brings a report of its own (BUS_MCEERR_AR).
thread_local siginfo_t deferred;
thread_local volatile sig_atomic_t deferredHeld = 0;

// The page this thread's handler last left alone as replaced already: the
// guard (by its install number), the page and the faults logged then. Met
// again on this thread with nothing logged since, it is lost still (its
// marker was there but could not be read), and is replaced: leaving it
// alone again would bring the same signal back for ever.
thread_local u64 leftAloneBy = 0;
thread_local uintptr_t leftAlonePage = 0;
thread_local u64 leftAloneAt = 0;

// Numbers each install(), so that what one guard left alone means nothing
// to the next (tests make one guard after another).
std::atomic<u64> installs{0};

// x86-64's smallest page: what a lost page is at least.
constexpr u64 kSmallestPageBytes = 4096;

// A line put together in a fixed buffer, without the C library's
// formatting (which is not safe in a signal handler).
class Line {
 public:
  void add(const char* text) {
    while (*text != '\0' && length_ < sizeof text_) text_[length_++] = *text++;
  }
  void addHex(u64 value) {
    char digits[kHexBytes];
    formatHex(value, digits);
    add(digits);
  }
  void addDecimal(u64 value) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0 && length_ < sizeof text_) text_[length_++] = digits[--n];
  }
  void print() const { writeConsole(text_, length_); }

 private:
  char text_[512];
  size_t length_ = 0;
};

// "Program fault: SIGSEGV (code 2) at address 0x..., instruction at 0x...",
// after `what`.
void addProgramFault(Line* line, const char* what, int signal,
                     const siginfo_t& info, void* context) {
  line->add(what);
  line->add(signal == SIGBUS ? "SIGBUS" : "SIGSEGV");
  line->add(" (code ");
  line->addDecimal(static_cast<u64>(static_cast<unsigned>(info.si_code)));
  line->add(") at address ");
  line->addHex(reinterpret_cast<uintptr_t>(info.si_addr));
  line->add(", instruction at ");
  const auto* registers = static_cast<const ucontext_t*>(context);
  line->addHex(static_cast<u64>(registers->uc_mcontext.gregs[REG_RIP]));
}

bool isUncorrectedMemoryError(int signal, const siginfo_t& info) {
  return signal == SIGBUS &&
         (info.si_code == BUS_MCEERR_AR || info.si_code == BUS_MCEERR_AO);
}

// The lost memory's size from the signal (the kernel gives it as a power
// of two), at least a page.
u64 lostBytes(const siginfo_t& info) {
  const int lsb = info.si_addr_lsb;
  if (lsb <= 0 || lsb >= 40) return kSmallestPageBytes;
  const u64 bytes = u64{1} << lsb;
  return bytes < kSmallestPageBytes ? kSmallestPageBytes : bytes;
}

}  // namespace

MemoryFaultGuard::MemoryFaultGuard(MemoryErrorTraps& traps, MemoryFaultLog& log)
    : traps_(traps), log_(log) {}

MemoryFaultGuard::~MemoryFaultGuard() {
  if (!installed_) return;
  traps_.releaseFaults();
  MemoryFaultGuard* self = this;
  active.compare_exchange_strong(self, nullptr);
}

bool MemoryFaultGuard::install() {
  install_ = installs.fetch_add(1) + 1;
  active.store(this);
  installed_ = traps_.trapFaults(onSignal);
  return installed_;
}

bool MemoryFaultGuard::guardThisThread() {
  return traps_.trapFaultsOnThisThread();
}

void MemoryFaultGuard::guardArea(char* area, u64 bytes, bool locked) {
  locked_ = locked;
  areaBegin_ = reinterpret_cast<uintptr_t>(area);
  areaEnd_ = areaBegin_ + bytes;
}

void MemoryFaultGuard::onSignal(int signal, siginfo_t* info, void* context) {
  // The interrupted code may be about to read errno.
  const int savedErrno = errno;
  // Never null here: the guard is set before its handlers and cleared only
  // once they are gone.
  MemoryFaultGuard* guard = active.load();
  if (!guard->traps_.inTrappingProcess()) {
    // A child inherited the handler (the memory measurement forks): it
    // ends as it would have without one.
    guard->traps_.endAsUntrapped(signal);
    errno = savedErrno;
    return;
  }
  if (depth > 0) {
    guard->reenter(signal, *info, context);
    errno = savedErrno;
    return;
  }
  depth = 1;
  if (isUncorrectedMemoryError(signal, *info) && guard->survive(*info)) {
    while (deferredHeld != 0) {
      const siginfo_t next = deferred;
      deferredHeld = 0;
      if (!guard->survive(next)) guard->stop(SIGBUS, next, context);
    }
    depth = 0;
    errno = savedErrno;
    return;
  }
  guard->stop(signal, *info, context);
}

void MemoryFaultGuard::reenter(int signal, const siginfo_t& info,
                               void* context) {
  if (signal == SIGBUS && info.si_code == BUS_MCEERR_AO) {
    if (deferredHeld == 0) {
      deferred = info;
      deferredHeld = 1;
    }
    return;
  }
  // A fault inside the handler. Returning would run into it again, and
  // the default action would end the first process: the program stops.
  if (depth > 1) {
    // A fault while stopping for one: nothing more is tried, not even the
    // seam's waitForPowerOff, which may be what faulted. The one system
    // call outside the seam, on purpose.
    for (;;) pause();
  }
  depth = 2;
  Line line;
  line.add("\n\r");
  addProgramFault(&line, "Program fault in the fault handler: ", signal, info,
                  context);
  line.add("\n\r");
  line.add(kStopMessage);
  line.print();
  for (;;) traps_.waitForPowerOff();
}

bool MemoryFaultGuard::survive(const siginfo_t& info) {
  const u64 bytes = lostBytes(info);
  const uintptr_t page =
      reinterpret_cast<uintptr_t>(info.si_addr) & ~(bytes - 1);
  if (page < areaBegin_ || page >= areaEnd_ || areaEnd_ - page < bytes) {
    return false;
  }
  void* const at = reinterpret_cast<void*>(page);
  while (replacing_.test_and_set(std::memory_order_acquire)) {
  }
  // Only now: the replacement drops the kernel's marker, which names the
  // frame.
  const u64 physical = traps_.lostPhysicalAddress(at);
  if (physical == kUnknownAddress && replacedAlready(page)) {
    replacing_.clear(std::memory_order_release);
    return true;
  }
  const bool replaced = traps_.replaceLostPage(at, bytes, locked_);
  if (replaced) {
    log_.add(MemoryFault{page, bytes, physical, info.si_code == BUS_MCEERR_AO});
  }
  replacing_.clear(std::memory_order_release);
  return replaced;
}

bool MemoryFaultGuard::replacedAlready(uintptr_t page) {
  u64 before = 0;
  if (!log_.standsFor(reinterpret_cast<const void*>(page), &before)) {
    return false;
  }
  const u64 logged = log_.count();
  if (leftAloneBy == install_ && leftAlonePage == page &&
      leftAloneAt == logged) {
    return false;
  }
  leftAloneBy = install_;
  leftAlonePage = page;
  leftAloneAt = logged;
  return true;
}

void MemoryFaultGuard::stop(int signal, const siginfo_t& info, void* context) {
  if (stopping_.test_and_set()) {
    for (;;) traps_.waitForPowerOff();
  }
  const u64 address = reinterpret_cast<uintptr_t>(info.si_addr);
  Line line;
  line.add("\n\r");
  if (isUncorrectedMemoryError(signal, info)) {
    line.add("Uncorrected memory error (machine check) at virtual address ");
    line.addHex(address);
    const u64 physical = traps_.lostPhysicalAddress(info.si_addr);
    if (physical == kUnknownAddress) {
      line.add(", physical address unknown");
    } else {
      line.add(", physical address ");
      line.addHex(physical);
    }
    line.add(address >= areaBegin_ && address < areaEnd_
                 ? ": its page could not be replaced, so testing cannot go on."
                 : ": it is in the program's own memory, so testing cannot "
                   "go on.");
  } else if (signal == SIGBUS && info.si_code == SI_KERNEL) {
    line.add(
        "The kernel ended the test with SIGBUS and no address: it does so "
        "after a machine check\n\rthat the processor could not resume from. "
        "The kernel's lines above name the memory.");
  } else {
    addProgramFault(&line, "Program fault: ", signal, info, context);
  }
  line.add("\n\r");
  line.add(kStopMessage);
  line.print();
  // The first process must not end: it waits for the power switch.
  for (;;) traps_.waitForPowerOff();
}
