// The copy tests: almost a whole bank moved into the other bank with the
// block kernels, source and destination displaced by 1 to 1024 words, then
// the two blocks compared. Copy test A writes bank A, copy test B bank B;
// everything else, the reports included, is the same. On several workers one
// displacement holds for the whole test, and each worker copies and then
// compares the part of the block that it writes in its own slice; as with one
// thread, every copy ends before any check begins, so a store that lands in
// another worker's part is caught too.
#include "tester/block_kernels.h"
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

// Needs wordsPerBank >= 1024 (the tester refuses smaller areas): the block is
// the bank less its first startA words, and startA reaches 1024.
int Cellchecker::copyTest(bool intoBankA) {
  ++passCount;  // before any memory is touched
  const u64 startA = (nextRand() & 0x3FF) + 1;
  const u64 startB = nextRand() % startA;
  const u64 count = wordsPerBank - startA;
  u32* const blockA = bankA + startA;
  u32* const blockB = bankB + startB;
  sliceBanks();

  // A worker's part is where the block lies in its slice of the bank it
  // writes; the words it reads lie at most 1024 words away.
  const u64 written = intoBankA ? startA : startB;
  auto copyAndCheck = [&](unsigned worker) {
    Share& share = shares_[worker];
    const WordRange part = blockShare(share.slice, written, count);
    share.block = part;
    u32* const a = blockA + part.begin;
    u32* const b = blockB + part.begin;
    if (intoBankA) {
      memCopyFast(a, b, part.size());
    } else {
      memCopyFast(b, a, part.size());
    }
    workersMeet();
    share.differs = memCmpFast(a, b, part.size()) != 0;
  };
  onEveryWorker(copyAndCheck);

  // The parts follow each other in worker order: the reports come in
  // ascending order of position.
  int differs = 0;
  for (const Share& share : shares_) {
    if (!share.differs) continue;
    differs = 1;
    findAndReportErrors(startA + share.block.begin, startB + share.block.begin,
                        share.block.size());
  }
  return differs;
}

int Cellchecker::runCopyTest() { return copyTest(true); }

int Cellchecker::runCopyTestB() { return copyTest(false); }
