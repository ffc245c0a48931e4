// The fault log read on one thread while another thread's handler writes
// it: a worker reads it on its error path while the other workers' handlers
// log faults. Every copy the log hands out must be one fault, whole. Where
// the two threads run at once, a torn copy shows in its fields; under
// ThreadSanitizer (the tsan build runs this) a copy the log's own order does
// not separate from the write is reported even when they never overlap.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "machinecheck/memory_faults.h"

namespace {

constexpr u64 kPage = 4096;

// Fault n's fields, each its own function of n: a copy that mixes two
// faults, or names one by another's number, shows.
MemoryFault faultNumber(u64 n) {
  return MemoryFault{0x7f0000000000 + n * kPage, kPage << (n % 3),
                     0x100000000 + n * 2 * kPage, n % 2 == 1};
}

bool same(const MemoryFault& a, const MemoryFault& b) {
  return a.page == b.page && a.bytes == b.bytes && a.physical == b.physical &&
         a.foundEarly == b.foundEarly;
}

TEST(MemoryFaultLogRaceTest, AReaderOnAnotherThreadGetsWholeFaultsOnly) {
  // A storm: far more faults than the log keeps, with the reader always as
  // far behind as it may be, where the writer comes round to its slot.
  constexpr u64 kFaults = 1000000;
  MemoryFaultLog log;
  std::atomic<u64> looks{0};
  std::atomic<bool> done{false};
  u64 copied = 0;
  u64 wrong = 0;
  u64 firstWrong = 0;
  std::thread reader([&] {
    while (!done.load(std::memory_order_acquire)) {
      const u64 count = log.count();
      if (count == 0) continue;
      const u64 oldest =
          count > MemoryFaultLog::kKept ? count - MemoryFaultLog::kKept : 0;
      for (const u64 n : {oldest, oldest + 1, count - 1}) {
        MemoryFault fault;
        if (!log.copy(n, &fault)) continue;
        ++copied;
        if (!same(fault, faultNumber(n)) && wrong++ == 0) firstWrong = n;
      }
      looks.fetch_add(1, std::memory_order_release);
    }
  });
  for (u64 n = 0; n < kFaults; ++n) {
    // The reader looks at least once in each round of the log: the two
    // keep meeting, however the threads are scheduled.
    if (n % MemoryFaultLog::kKept == 0) {
      while (looks.load(std::memory_order_acquire) < n / MemoryFaultLog::kKept)
        std::this_thread::yield();
    }
    log.add(faultNumber(n));
  }
  done.store(true, std::memory_order_release);
  reader.join();
  EXPECT_EQ(wrong, 0u) << "fault " << firstWrong
                       << " was copied with another's fields";
  EXPECT_GT(copied, 0u);
  // What was not overwritten is all there, after the storm.
  MemoryFault fault;
  for (u64 n = kFaults - MemoryFaultLog::kKept; n < kFaults; ++n) {
    ASSERT_TRUE(log.copy(n, &fault)) << n;
    EXPECT_TRUE(same(fault, faultNumber(n))) << n;
  }
  EXPECT_FALSE(log.copy(kFaults - MemoryFaultLog::kKept - 1, &fault));
}

}  // namespace
