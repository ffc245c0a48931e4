// What the machine does to the tests' access patterns: interleaved stores to
// two banks whose distance is, or is not, a multiple of 256 MiB; scattered
// word pairs on huge pages and on small ones.
#include <benchmark/benchmark.h>

#include "bench/areas.h"
#include "tester/pattern_generator.h"

namespace {

// Keeps the compiler from merging the 4-byte stores into vector stores.
inline u32 opaque(u32 v) {
  asm("" : "+r"(v));
  return v;
}

// bankA[k], bankB[k], bankA[k + 1], ...: the random bank test's store order,
// without its draws.
void interleavedStores(benchmark::State& state, AreaKind kind) {
  const BenchArea& area = benchArea(kind);
  for (auto _ : state) {
    for (u64 k = 0; k < area.wordsPerBank; ++k) {
      const u32 v = opaque(static_cast<u32>(k));
      area.bankA[k] = v;
      area.bankB[k] = v;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * area.wordsPerBank);
}

// The random bank test's fill: one draw per word pair, stored in both banks.
void drawnFill(benchmark::State& state, AreaKind kind) {
  const BenchArea& area = benchArea(kind);
  seedRandNumber(45435243);
  for (auto _ : state) {
    RandDraws draws;
    for (u64 k = 0; k < area.wordsPerBank; ++k) {
      const u32 v = draws.nextRand();
      area.bankA[k] = v;
      area.bankB[k] = v;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * area.wordsPerBank);
}

// Probes like the decay test's: compare a random word pair, then rewrite it.
// Nearly every probe lands on a page whose translation is not cached.
void scatteredPairs(benchmark::State& state, AreaKind kind) {
  constexpr int kSweeps = 256;
  constexpr int kList = 1024;
  const BenchArea& area = benchArea(kind);
  seedRandNumber(45435243);
  u32 mismatches = 0;
  for (auto _ : state) {
    RandDraws draws;
    for (int sweep = 0; sweep < kSweeps; ++sweep) {
      u32 list[kList];
      for (u32& entry : list) entry = draws.nextRand();
      for (int k = 0; k < kList; ++k) {
        const u64 i = list[k] % area.wordsPerBank;
        mismatches += area.bankB[i] != area.bankA[i];
        area.bankA[i] = list[kList - 1 - k];
        area.bankB[i] = list[kList - 1 - k];
      }
    }
  }
  benchmark::DoNotOptimize(mismatches);
  state.SetItemsProcessed(state.iterations() * kSweeps * kList);
}

BENCHMARK_CAPTURE(interleavedStores, startup, AreaKind::kStartup)
    ->Name("layout/stores/start-up")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(interleavedStores, aligned, AreaKind::kAligned)
    ->Name("layout/stores/aligned")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(drawnFill, startup, AreaKind::kStartup)
    ->Name("layout/fill/start-up")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(drawnFill, aligned, AreaKind::kAligned)
    ->Name("layout/fill/aligned")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scatteredPairs, huge, AreaKind::kStartup)
    ->Name("pages/scattered-pairs/huge")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scatteredPairs, small, AreaKind::kSmallPages)
    ->Name("pages/scattered-pairs/small")
    ->Unit(benchmark::kMillisecond);

}  // namespace
