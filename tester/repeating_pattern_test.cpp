// The repeating-pattern bank test: one block of fresh draws repeated to the end
// of a bank, then every word checked against the word one block before it.
// Each bank is tested on its own, so it runs before anything is known about
// either bank; it is the pre-test of the test area. On several workers each
// worker runs it over its own slice of each bank, as over a bank of its own,
// with its own generator: the pre-test is where each slice is first written,
// by the worker that tests it from then on.
#include <emmintrin.h>

#include "tester/block_kernels.h"
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

u64 repeatingBlockWords(u64 wordsPerBank) {
  // 1023 words for small banks, 224095 once a bank holds two of those, and
  // so for every bank of 2^32 words or more.
  return wordsPerBank / 2 >= 224095 ? 224095 : 1023;
}

namespace {

// bank[k] = bank[k - blockWords] for k from blockWords to words - 1, strictly
// forward: a 16-byte group is read only after every word of it has received
// its final value, which blockWords >= 4 guarantees.
void repeatBlock(u32* bank, u64 blockWords, u64 words) {
  u64 k = blockWords;
  for (; k + 4 <= words; k += 4) {
    const __m128i group = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(bank + k - blockWords));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bank + k), group);
  }
  for (; k < words; ++k) bank[k] = bank[k - blockWords];
}

}  // namespace

int Cellchecker::runTestBanksRepRand(int banks) {
  ++passCount;
  if (workers() > 1) {
    runTestBanksRepRandSplit(banks);
    return 0;
  }
  const u64 blockWords = repeatingBlockWords(wordsPerBank);
  runTestBanksRepRandWorker(blockWords, wordsPerBank, bankA);
  if (banks >= 2) runTestBanksRepRandWorker(blockWords, wordsPerBank, bankB);
  return 0;
}

int Cellchecker::runTestBanksRepRandWorker(u64 blockWords, u64 words,
                                           u32* bank) {
  if (repeatedBlockDiffers(randTable, blockWords, words, bank)) {
    reportRepeatMismatches(blockWords, words, bank);
  }
  return 0;
}

bool Cellchecker::repeatedBlockDiffers(u32* table, u64 blockWords, u64 words,
                                       u32* bank) {
  {
    RandDraws draws(table);
    for (u64 k = 0; k < blockWords; ++k) bank[k] = draws.nextRand();
  }
  if (words <= blockWords) return false;

  repeatBlock(bank, blockWords, words);
  return memCmpFast(bank, bank + blockWords, words - blockWords) != 0;
}

void Cellchecker::reportRepeatMismatches(u64 blockWords, u64 words, u32* bank) {
  // Only every other mismatch is reported: a word that reads back wrong
  // usually shows twice, once against the block before it and once against
  // the block after.
  bool skipNext = false;
  for (u64 k = 0; k < words - blockWords; ++k) {
    if (bank[k + blockWords] == bank[k]) continue;
    if (!skipNext) report(&bank[k + blockWords], &bank[k]);
    skipNext = !skipNext;
  }
}

namespace {

// A slice's block: the bank's rule for a bank of the slice's size, never
// longer than the slice.
u64 sliceBlockWords(u64 words) {
  const u64 block = repeatingBlockWords(words);
  return block < words ? block : words;
}

}  // namespace

void Cellchecker::runTestBanksRepRandSplit(int banks) {
  sliceBanks();
  auto test = [&](unsigned worker) {
    Share& share = shares_[worker];
    const WordRange slice = share.slice;
    const u64 block = sliceBlockWords(slice.size());
    u32* const table = generators_.table(worker);
    share.differs =
        repeatedBlockDiffers(table, block, slice.size(), bankA + slice.begin);
    share.differsB =
        banks >= 2 &&
        repeatedBlockDiffers(table, block, slice.size(), bankB + slice.begin);
  };
  onEveryWorker(test);

  // On this thread, bank A's slices in order, then bank B's.
  for (const Share& share : shares_) {
    if (!share.differs) continue;
    reportRepeatMismatches(sliceBlockWords(share.slice.size()),
                           share.slice.size(), bankA + share.slice.begin);
  }
  for (const Share& share : shares_) {
    if (!share.differsB) continue;
    reportRepeatMismatches(sliceBlockWords(share.slice.size()),
                           share.slice.size(), bankB + share.slice.begin);
  }
}
