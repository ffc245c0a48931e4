// The repeating-pattern test over one start-up bank beside the same traffic
// done with the C library's copy and the best plain check: a forward copy of
// the bank onto itself one block further on, then the check of every word
// against the word one block before it.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/areas.h"
#include "bench/read_reduction.h"
#include "bench/silent_tester.h"
#include "tester/cellchecker.h"
#include "tester/pattern_generator.h"

namespace {

void repeatingPatternBank(benchmark::State& state) {
  SilentTester tester;
  useArea(tester, benchArea(AreaKind::kStartup));
  const u64 blockWords = repeatingBlockWords(tester.wordsPerBank);
  for (auto _ : state) {
    tester.runTestBanksRepRandWorker(blockWords, tester.wordsPerBank,
                                     tester.bankA);
  }
  state.SetItemsProcessed(state.iterations() * tester.wordsPerBank);
}

void copyAndCheckBank(benchmark::State& state) {
  const BenchArea& area = benchArea(AreaKind::kStartup);
  u32* const bank = area.bankA;
  const u64 words = area.wordsPerBank;
  const u64 blockWords = repeatingBlockWords(words);
  int differ = 0;
  for (auto _ : state) {
    // Block by block, so no memcpy overlaps its own source.
    for (u64 k = blockWords; k < words; k += blockWords) {
      const u64 n = words - k < blockWords ? words - k : blockWords;
      memcpy(bank + k, bank + k - blockWords, n * 4);
    }
    differ |= readReduction(bank, bank + blockWords, words - blockWords);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(differ);
  state.SetItemsProcessed(state.iterations() * words);
}

BENCHMARK(repeatingPatternBank)
    ->Name("repeating-pattern/worker/bank")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(copyAndCheckBank)
    ->Name("repeating-pattern/memcpy+reduction/bank")
    ->Unit(benchmark::kMillisecond);

}  // namespace
