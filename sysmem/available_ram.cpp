#include <atomic>
#include <cstring>

#include "base/cprintf.h"
#include "sysmem/memory_probe.h"

namespace {

constexpr u64 kBlocksPerMiB = kMiB / kProbeBlockBytes;

// The measuring child's work; the child ends after it.
void measure(MemoryMeasurement& kernel, volatile u64* blocksDone) {
  cprintf(".");
  u64 mib = kernel.freeBytes() / kMiB;
  char* block = nullptr;
  // Strict commit accounting refuses what cannot be backed, so the first
  // block the kernel grants is the largest one it will.
  while (mib > 0 && (block = kernel.allocateProbe(mib * kMiB)) == nullptr) {
    --mib;
  }
  const u64 blocks = mib * kBlocksPerMiB;
  cprintf(".");
  // A block counts only once all of it is zeroed, so the count never runs
  // ahead of the memory really touched, however the child is stopped.
  while (*blocksDone < blocks) {
    memset(block + *blocksDone * kProbeBlockBytes, 0, kProbeBlockBytes);
    // The zeroing must not be moved past the count.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    *blocksDone = *blocksDone + 1;
  }
}

}  // namespace

u64 calcAvailableRam(MemoryMeasurement& kernel, volatile u64* shared) {
  *shared = 0;
  const pid_t child = kernel.forkChild();
  if (child == 0) {
    measure(kernel, shared);
    kernel.endChild();
  }
  // The child's end, by exit or by the kernel's out-of-memory killer, is
  // all the parent waits for: the count says how far it got.
  if (child > 0) {
    kernel.waitChild(child);
    // The child's two dots reached the screen, but only its own copy of the
    // console's ring: the parent keeps them for the report. The child prints
    // both before any long work, however it ends.
    keepChildOutput("..", 2);
  }
  cprintf(".");
  *shared = *shared * kProbeBlockBytes;
  return *shared;
}
