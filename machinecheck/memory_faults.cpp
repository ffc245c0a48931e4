#include "machinecheck/memory_faults.h"

#include <cstdint>

void MemoryFaultLog::add(const MemoryFault& fault) {
  const u64 n = count_.load(std::memory_order_relaxed);
  kept_[n % kKept] = fault;
  count_.store(n + 1, std::memory_order_release);
  // Past the table the page is still replaced; only errors later found on
  // it are put down to the fresh page's address.
  replaced_.add(fault);
}

bool MemoryFaultLog::copy(u64 n, MemoryFault* out) const {
  if (n >= count()) return false;
  *out = kept_[n % kKept];
  // The handler may have overwritten the slot while it was copied: then
  // fault n is gone.
  return count() - n <= static_cast<u64>(kKept);
}

bool MemoryFaultLog::standsFor(const void* address, u64* physical) const {
  const u64 at = reinterpret_cast<uintptr_t>(address);
  // The latest first: a page replaced twice stands for its last loss.
  for (int i = replaced_.size() - 1; i >= 0; --i) {
    const MemoryFault& fault = replaced_[i];
    if (at < fault.page || at - fault.page >= fault.bytes) continue;
    *physical = fault.physical == kUnknownAddress
                    ? kUnknownAddress
                    : fault.physical + (at - fault.page);
    return true;
  }
  return false;
}
