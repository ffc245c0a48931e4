// The repeating-pattern bank test: one block of fresh draws repeated to the end
// of a bank, then every word checked against the word one block before it.
// Each bank is tested on its own, so it runs before anything is known about
// either bank; it is the pre-test of the test area.
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
  const u64 blockWords = repeatingBlockWords(wordsPerBank);
  runTestBanksRepRandWorker(blockWords, wordsPerBank, bankA);
  if (banks >= 2) runTestBanksRepRandWorker(blockWords, wordsPerBank, bankB);
  return 0;
}

int Cellchecker::runTestBanksRepRandWorker(u64 blockWords, u64 words,
                                           u32* bank) {
  {
    RandDraws draws;
    for (u64 k = 0; k < blockWords; ++k) bank[k] = draws.nextRand();
  }
  if (words <= blockWords) return 0;

  repeatBlock(bank, blockWords, words);
  const u64 compared = words - blockWords;
  if (!memCmpFast(bank, bank + blockWords, compared)) return 0;

  // Only every other mismatch is reported: a word that reads back wrong
  // usually shows twice, once against the block before it and once against
  // the block after.
  bool skipNext = false;
  for (u64 k = 0; k < compared; ++k) {
    if (bank[k + blockWords] == bank[k]) continue;
    if (!skipNext) report(&bank[k + blockWords], &bank[k]);
    skipNext = !skipNext;
  }
  return 0;
}
