// The random bank test: one stream of fresh draws written into both banks at
// once, pair by pair, then the two banks checked against each other. It leaves
// the banks equal word for word, which the decay test relies on. On several
// workers each fills its own slice of both banks from its own generator; all
// fills end before any check begins, so a store that disturbs a word of
// another worker's slice is caught too.
#include <emmintrin.h>

#include <algorithm>

#include "tester/block_kernels.h"
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

void Cellchecker::runTestBanksAllRand() {
  ++passCount;
  if (wordsPerBank == 0) return;  // no test area yet: the run only counts
  sliceBanks();

  auto fillAndCheck = [this](unsigned worker) {
    // Copies of their own: the loop's stores could otherwise change what
    // the compiler must read again at every word.
    u32* const a = bankA;
    u32* const b = bankB;
    Share& share = shares_[worker];
    const WordRange slice = share.slice;
    {
      // The draws go into a block small enough for the first-level cache,
      // and each block is then written to bank A and to bank B in whole
      // lines of streaming stores: every pair is still written bank A first,
      // then bank B. Streaming stores go to memory without reading the line
      // first (a bank is far too big for a cache to hold until the check,
      // and the check must then read memory, not a cache), but a processor
      // has only a few write-combining buffers: storing one word a draw into
      // two streams at once, each store paced by the slow draw, flushed
      // half-full lines on some cores and ran at a quarter of the speed.
      alignas(64) u32 block[kFillBlockWords];
      RandDraws draws(generators_.table(worker));
      for (u64 k = slice.begin; k < slice.end; k += kFillBlockWords) {
        const u64 count = std::min<u64>(kFillBlockWords, slice.end - k);
        draws.fill(block, count);
        streamBlock(a + k, block, count);
        streamBlock(b + k, block, count);
      }
    }
    _mm_sfence();  // every streaming store lands before the check reads
    workersMeet();
    share.differs =
        memCmpFast(a + slice.begin, b + slice.begin, slice.size()) != 0;
  };
  onEveryWorker(fillAndCheck);

  // The word-by-word pass, on this thread: the slices in order, so the
  // reports come in ascending order of index.
  u32* const a = bankA;
  u32* const b = bankB;
  for (const Share& share : shares_) {
    if (!share.differs) continue;
    for (u64 k = share.slice.begin; k < share.slice.end; ++k) {
      const u32 inB = b[k];
      const u32 inA = a[k];
      if (inA != inB) report(k);
    }
  }
}
