// Interleaved stores to two banks whose distance is, or is not, a multiple of
// 256 MiB: the random bank test's store pattern without its draws. (The tests
// themselves run on both layouts in tests_bench.cpp.)
#include <benchmark/benchmark.h>

#include "bench/areas.h"

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

BENCHMARK_CAPTURE(interleavedStores, startup, AreaKind::kStartup)
    ->Name("layout/stores/start-up")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(interleavedStores, aligned, AreaKind::kAligned)
    ->Name("layout/stores/aligned")
    ->Unit(benchmark::kMillisecond);

}  // namespace
