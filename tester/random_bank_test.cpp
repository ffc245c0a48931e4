// The random bank test: one stream of fresh draws written into both banks at
// once, pair by pair, then the two banks checked against each other. It leaves
// the banks equal word for word, which the decay test relies on.
#include <emmintrin.h>

#include "tester/block_kernels.h"
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

void Cellchecker::runTestBanksAllRand() {
  ++passCount;
  const u64 words = wordsPerBank;
  if (words == 0) return;  // no test area yet: the run only counts itself
  u32* const a = bankA;
  u32* const b = bankB;

  {
    // The stores alternate between the two halves of the test area. They are
    // streaming stores: a bank is far too big for a cache to hold until the
    // check, so reading each line in before writing it would only load the
    // memory bus under the draws; and the check then reads memory, not a
    // cache.
    RandDraws draws;
    for (u64 k = 0; k < words; ++k) {
      const int value = static_cast<int>(draws.nextRand());
      _mm_stream_si32(reinterpret_cast<int*>(a + k), value);
      _mm_stream_si32(reinterpret_cast<int*>(b + k), value);
    }
  }
  _mm_sfence();  // every streaming store lands before the check reads
  if (!memCmpFast(a, b, words)) return;

  for (u64 k = 0; k < words; ++k) {
    const u32 inB = b[k];
    const u32 inA = a[k];
    if (inA != inB) report(k);
  }
}
