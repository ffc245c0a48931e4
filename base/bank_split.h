// How a test area is split into its two banks. The tester splits the area it
// is handed this way, and the fault lab finds the banks of a running tester
// the same way from outside, so both read this one rule.
#ifndef CELLCHECK_BASE_BANK_SPLIT_H_
#define CELLCHECK_BASE_BANK_SPLIT_H_

#include "base/types.h"

struct BankSplit {
  u64 bankBOffset;   // bytes from the start of the area to bank B
  u64 wordsPerBank;  // 32-bit words in each bank
};

// Bank A is the first half of the area; bank B starts at its middle, rounded
// down to a whole word so that every word of it is aligned. Each bank holds
// an even number of words (the copy and compare kernels move word pairs), so
// bank A still fits below bank B and bank B within the area.
constexpr BankSplit bankSplitOf(u64 areaBytes) {
  return BankSplit{areaBytes / 2 & ~u64{3}, areaBytes / 8 & ~u64{1}};
}

#endif  // CELLCHECK_BASE_BANK_SPLIT_H_
