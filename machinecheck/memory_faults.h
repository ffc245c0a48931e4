// The log of uncorrected memory errors in the test area: the signal handler
// writes it (MemoryFaultGuard), the program reads it between tests to report
// each one. Fixed tables and lock-free counters: a handler may not allocate
// or take a lock, and it may interrupt the reader at any point, on the
// reader's own thread or on another (a worker reads the log on its error
// path while other workers' handlers log faults).
#ifndef CELLCHECK_MACHINECHECK_MEMORY_FAULTS_H_
#define CELLCHECK_MACHINECHECK_MEMORY_FAULTS_H_

#include <atomic>

#include "badmem/physical_addresses.h"
#include "base/fixed_table.h"
#include "base/types.h"

// One page the kernel took away after an uncorrected memory error, and
// which a fresh page now stands in for.
struct MemoryFault {
  u64 page;      // its virtual address
  u64 bytes;     // its size
  u64 physical;  // where it was in physical memory, or kUnknownAddress
  // BUS_MCEERR_AO: the hardware found the error before the program read it
  // (a scrubber, or a read that was not the program's). Otherwise the
  // program's own read met it (BUS_MCEERR_AR).
  bool foundEarly;
};

class MemoryFaultLog {
 public:
  // Faults kept for the reader; older ones are counted only. Far more than
  // the tests meet between two looks.
  static constexpr int kKept = 64;
  // Replaced pages remembered for standsFor().
  static constexpr int kMaxReplaced = 256;

  MemoryFaultLog() = default;
  MemoryFaultLog(const MemoryFaultLog&) = delete;
  MemoryFaultLog& operator=(const MemoryFaultLog&) = delete;

  // The handler's side. Logs one fault whose page was replaced.
  void add(const MemoryFault& fault);

  // The reader's side.
  // Faults so far.
  u64 count() const { return count_.load(std::memory_order_acquire); }
  // Copies fault `n` (0 for the first) to `out`; false when it is no longer
  // kept (or not yet logged, or being overwritten by a later one).
  bool copy(u64 n, MemoryFault* out) const;
  // What a replaced page stands for. True when `address` is on a replaced
  // page; `physical` is then the address it had before its page was taken
  // away (kUnknownAddress when that was not known), so that errors the
  // tests find on the fresh page (its words were lost with the old one) are
  // put down to the old page. No allocation: asked on the error path.
  bool standsFor(const void* address, u64* physical) const;

 private:
  // One kept fault, with a count of its write steps: odd while a write is
  // under way, even once it is done. A reader takes the fields only when
  // the count is fault n's, the same before and after it read them. Each field
  // is an atomic of its own so that a read that overlaps a write is no data
  // race (only a stale copy, which the count turns away). Lock-free: the
  // handler writes it.
  struct Slot {
    std::atomic<u64> writes{0};
    std::atomic<u64> page{0};
    std::atomic<u64> bytes{0};
    std::atomic<u64> physical{0};
    std::atomic<bool> foundEarly{false};
  };
  static_assert(std::atomic<u64>::is_always_lock_free &&
                    std::atomic<bool>::is_always_lock_free,
                "a signal handler writes the slots");

  Slot kept_[kKept];
  std::atomic<u64> count_{0};
  // Replaced pages, each written before the table counts it.
  FixedTable<MemoryFault, kMaxReplaced> replaced_;
};

#endif  // CELLCHECK_MACHINECHECK_MEMORY_FAULTS_H_
