// The copy tests: almost a whole bank moved into the other bank with the
// block kernels, source and destination displaced by 1 to 1024 words, then
// the two blocks compared. Copy test A writes bank A, copy test B bank B;
// everything else, the reports included, is the same.
#include "tester/block_kernels.h"
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

namespace {

enum class Written { kBankA, kBankB };

// Needs wordsPerBank >= 1024 (the tester refuses smaller areas): the block is
// the bank less its first startA words, and startA reaches 1024.
int copyTest(Cellchecker& tester, Written written) {
  ++tester.passCount;  // before any memory is touched
  const u64 startA = (nextRand() & 0x3FF) + 1;
  const u64 startB = nextRand() % startA;
  const u64 count = tester.wordsPerBank - startA;
  u32* const blockA = tester.bankA + startA;
  u32* const blockB = tester.bankB + startB;

  if (written == Written::kBankA) {
    memCopyFast(blockA, blockB, count);
  } else {
    memCopyFast(blockB, blockA, count);
  }
  if (!memCmpFast(blockA, blockB, count)) return 0;
  tester.findAndReportErrors(startA, startB, count);
  return 1;
}

}  // namespace

int Cellchecker::runCopyTest() { return copyTest(*this, Written::kBankA); }

int Cellchecker::runCopyTestB() { return copyTest(*this, Written::kBankB); }
