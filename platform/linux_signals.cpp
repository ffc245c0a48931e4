// The memory errors role on Linux: the fault handler set and put back, and
// the calls the handler makes. Everything here must be safe in a signal
// handler: system calls on what was opened beforehand and fixed buffers,
// no allocation, no lock, no stdio. A call that allocates belongs in
// another file of this folder.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "platform/linux_kernel.h"
#include "platform/pagemap.h"

namespace {

// The fault handler's own stack: enough for its few frames, however deep
// the program's stack was when it overflowed.
constexpr size_t kHandlerStackBytes = 64 * 1024;
alignas(16) char handlerStack[kHandlerStackBytes];

}  // namespace

LinuxKernel::~LinuxKernel() {
  if (trapped_) releaseFaults();
  if (pageFlags_ >= 0) close(pageFlags_);
}

bool LinuxKernel::trapFaults(FaultHandler handler) {
  pagemap_.open("/proc/self/pagemap");
  if (pageFlags_ < 0) {
    pageFlags_ = open("/proc/kpageflags", O_RDONLY | O_CLOEXEC);
  }
  trapping_ = getpid();
  stack_t stack = {};
  stack.ss_sp = handlerStack;
  stack.ss_size = sizeof handlerStack;
  sigaltstack(&stack, &oldStack_);
  const struct sigaction action = faultAction(handler);
  trapped_ = sigaction(SIGBUS, &action, &oldBus_) == 0 &&
             sigaction(SIGSEGV, &action, &oldSegv_) == 0;
  prctl(PR_MCE_KILL, PR_MCE_KILL_SET, PR_MCE_KILL_EARLY, 0, 0);
  return trapped_;
}

void LinuxKernel::releaseFaults() {
  sigaction(SIGBUS, &oldBus_, nullptr);
  sigaction(SIGSEGV, &oldSegv_, nullptr);
  sigaltstack(&oldStack_, nullptr);
  trapped_ = false;
}

bool LinuxKernel::trapFaultsOnThisThread() {
  void* memory = mmap(nullptr, kHandlerStackBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  stack_t stack = {};
  stack.ss_sp = memory;
  stack.ss_size = kHandlerStackBytes;
  return sigaltstack(&stack, nullptr) == 0;
}

bool LinuxKernel::inTrappingProcess() { return getpid() == trapping_; }

void LinuxKernel::endAsUntrapped(int signal) {
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  sigaction(signal, &standard, nullptr);
  raise(signal);
}

u64 LinuxKernel::lostPhysicalAddress(const void* address) {
  const u64 frame =
      frameOfRemovedPageEntry(pagemap_.entryOf(address, pageBytes_));
  if (frame == 0 || pageFlags_ < 0) return kUnknownAddress;
  u64 flags = 0;
  const off_t at = static_cast<off_t>(frame * sizeof flags);
  if (pread(pageFlags_, &flags, sizeof flags, at) != sizeof flags) {
    return kUnknownAddress;
  }
  if (!pageFlagsSayPoisoned(flags)) return kUnknownAddress;
  return frame * pageBytes_ + reinterpret_cast<uintptr_t>(address) % pageBytes_;
}

bool LinuxKernel::replaceLostPage(void* page, u64 bytes, bool locked) {
  // The kernel left a marker for the lost page in the mapping. Dropping the
  // page clears it, and the next touch brings a new page of zeros under the
  // mapping's existing commitment; a new mapping would need a new one,
  // which strict accounting may refuse this close to the limit. Locked
  // pages cannot be dropped, so the lock is lifted for the page and set
  // again, which brings the new page in at once.
  munlock(page, bytes);
  if (madvise(page, bytes, MADV_DONTNEED) != 0) return false;
  return !locked || mlock(page, bytes) == 0;
}

void LinuxKernel::waitForPowerOff() {
  // The first process gets no signal it has not asked for, so pause never
  // returns; the loop is for certainty.
  for (;;) pause();
}
