#include "tests/support/stuck_bits.h"

#include <linux/hw_breakpoint.h>
#include <linux/perf_event.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

struct Fault {
  int fd = -1;
  volatile uint32_t* word = nullptr;
  uint32_t setMask = 0;
  uint32_t keepMask = ~0u;
  volatile int traps = 0;  // signals handled since the watchpoint was opened
  volatile int named = 0;  // of those, the ones whose address is this word
  uint64_t probeHits = 0;  // the watchpoint's own count after the probe
};

constexpr int kSlots = 4;
Fault faults[kSlots];

void force(Fault& f) { *f.word = (*f.word | f.setMask) & f.keepMask; }

// Runs right after the trapping store. One wide store can hit two watched
// words and raise only one signal, so every fault is forced again; forcing a
// bit that already holds its stuck value changes nothing. Forcing is itself a
// store to the watched word, so the watchpoint is off while it is made (and
// is armed afresh when switched on again).
void onWrite(int, siginfo_t* info, void*) {
  for (Fault& f : faults) {
    if (f.fd < 0) continue;
    ioctl(f.fd, PERF_EVENT_IOC_DISABLE, 0);
    force(f);
    f.traps = f.traps + 1;
    if (info->si_addr == f.word) f.named = f.named + 1;
    ioctl(f.fd, PERF_EVENT_IOC_ENABLE, 0);
  }
}

// How often the watchpoint has fired, as the kernel counted it; right even
// where one signal stands for two stores.
uint64_t hits(const Fault& f) {
  uint64_t count = 0;
  if (read(f.fd, &count, sizeof count) != sizeof count) abort();
  return count;
}

int openWatchpoint(const void* address) {
  perf_event_attr attr;
  memset(&attr, 0, sizeof attr);
  attr.type = PERF_TYPE_BREAKPOINT;
  attr.size = sizeof attr;
  attr.bp_type = HW_BREAKPOINT_W;
  attr.bp_addr = reinterpret_cast<uintptr_t>(address);
  attr.bp_len = HW_BREAKPOINT_LEN_4;
  attr.sample_period = 1;
  attr.exclude_kernel = 1;
  attr.exclude_hv = 1;
  attr.sigtrap = 1;  // a synchronous SIGTRAP after each store
  attr.remove_on_exec = 1;
  return static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
}

void installHandler() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = onWrite;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGTRAP, &action, nullptr);
}

}  // namespace

bool StuckBit::available() {
  static uint32_t probe;
  const int fd = openWatchpoint(&probe);
  if (fd < 0) return false;
  close(fd);
  return true;
}

StuckBit::StuckBit(uint32_t* word, int bit, bool stuckAt) : slot_(-1) {
  for (int i = 0; i < kSlots; ++i) {
    if (faults[i].fd < 0) {
      slot_ = i;
      break;
    }
  }
  if (slot_ < 0) abort();  // more than four at once: a mistake in the test
  installHandler();
  Fault& f = faults[slot_];
  f.word = word;
  f.setMask = stuckAt ? 1u << bit : 0;
  f.keepMask = stuckAt ? ~0u : ~(1u << bit);
  force(f);
  // Now and then (on a loaded machine) a new watchpoint is not armed and
  // misses every store: each one is proven with a store of the word's own
  // value before the fault counts as made.
  for (int attempt = 0; attempt < 100; ++attempt) {
    f.fd = openWatchpoint(word);
    if (f.fd < 0) abort();  // callers check available() first
    f.traps = 0;
    *f.word = *f.word;
    if (f.traps == 1) {
      f.probeHits = hits(f);
      f.named = 0;
      return;
    }
    close(f.fd);
    f.fd = -1;
  }
  abort();
}

StuckBit::~StuckBit() {
  close(faults[slot_].fd);
  faults[slot_] = Fault();
}

int StuckBit::writes() const {
  // Each of the two counts now and then misses a store on a loaded virtual
  // machine (the kernel's count a store whose signal came; the signal's
  // address names no word at times), never the same one here.
  const Fault& f = faults[slot_];
  const int counted = static_cast<int>(hits(f) - f.probeHits);
  return counted > f.named ? counted : f.named;
}
