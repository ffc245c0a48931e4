// How the banks are shared among the workers of a test: each worker has one
// contiguous slice of word indices, the same in both banks, so that it writes
// and checks whole word pairs, and no page is written by two workers.
#ifndef CELLCHECK_TESTER_BANK_SLICES_H_
#define CELLCHECK_TESTER_BANK_SLICES_H_

#include <cstdint>

#include "base/types.h"

// Word indices begin to end - 1.
struct WordRange {
  u64 begin;
  u64 end;
  u64 size() const { return end - begin; }
};

constexpr uintptr_t kSlicePageBytes = 4096;

// Worker `worker`'s slice of a bank of `words` words at `bank`, of
// `workers` in all: the slices follow each other in worker order and cover
// the bank. Each boundary between two slices lies on the page boundary of
// bank A nearest to an equal share, so no page is written by two workers,
// and the worker that first writes a slice places its pages (on its own
// memory node); in bank B too when the banks lie a whole number of pages
// apart, as the program's banks do. A bank of fewer pages than workers
// leaves some slices empty.
inline WordRange bankSlice(const u32* bankA, u64 words, unsigned workers,
                           unsigned worker) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(bankA);
  const auto boundary = [&](unsigned k) -> u64 {
    if (k == 0) return 0;
    if (k >= workers) return words;
    const uintptr_t share = base + words / workers * k * sizeof(u32);
    const uintptr_t page =
        (share + kSlicePageBytes / 2) & ~(kSlicePageBytes - 1);
    if (page <= base) return 0;
    const u64 index = (page - base) / sizeof(u32);
    return index < words ? index : words;
  };
  return {boundary(worker), boundary(worker + 1)};
}

// The positions 0 to count - 1 of a block that starts at index `first` of a
// bank whose indices in `slice` fall there, as positions in the block (an
// empty range, at 0, when none do).
inline WordRange blockShare(WordRange slice, u64 first, u64 count) {
  const u64 end = first + count;
  const u64 begin = slice.begin > first ? slice.begin : first;
  const u64 last = slice.end < end ? slice.end : end;
  if (begin >= last) return {0, 0};
  return {begin - first, last - first};
}

#endif  // CELLCHECK_TESTER_BANK_SLICES_H_
