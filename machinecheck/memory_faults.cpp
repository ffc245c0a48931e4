#include "machinecheck/memory_faults.h"

#include <cstdint>

namespace {

// A slot's count of write steps once fault `n` is in it, and before the
// next one begins: the slot took faults n % kept, n % kept + kept, ..., up
// to n, two steps each.
u64 writesWith(u64 n, u64 kept) { return 2 * (n / kept + 1); }

}  // namespace

// One writer at a time (the guard's lock), possibly on another thread than
// the reader.
void MemoryFaultLog::add(const MemoryFault& fault) {
  const u64 n = count_.load(std::memory_order_relaxed);
  Slot& slot = kept_[n % kKept];
  const u64 writes = slot.writes.load(std::memory_order_relaxed);
  // Odd first: each field's release store below keeps this one ahead of
  // it, so a reader that sees any new field sees the odd count after.
  slot.writes.store(writes + 1, std::memory_order_relaxed);
  slot.page.store(fault.page, std::memory_order_release);
  slot.bytes.store(fault.bytes, std::memory_order_release);
  slot.physical.store(fault.physical, std::memory_order_release);
  slot.foundEarly.store(fault.foundEarly, std::memory_order_release);
  slot.writes.store(writes + 2, std::memory_order_release);
  count_.store(n + 1, std::memory_order_release);
  // Past the table the page is still replaced; only errors later found on
  // it are put down to the fresh page's address.
  replaced_.add(fault);
}

bool MemoryFaultLog::copy(u64 n, MemoryFault* out) const {
  if (n >= count()) return false;
  const Slot& slot = kept_[n % kKept];
  const u64 expected = writesWith(n, kKept);
  if (slot.writes.load(std::memory_order_acquire) != expected) return false;
  // Acquire loads: the write count's second look cannot move ahead of
  // them.
  const MemoryFault fault{slot.page.load(std::memory_order_acquire),
                          slot.bytes.load(std::memory_order_acquire),
                          slot.physical.load(std::memory_order_acquire),
                          slot.foundEarly.load(std::memory_order_acquire)};
  // A handler, here or on another thread, began to write fault n + kKept
  // over it meanwhile: fault n is gone.
  if (slot.writes.load(std::memory_order_relaxed) != expected) return false;
  *out = fault;
  return true;
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
