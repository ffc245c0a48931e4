// The generator's draw beside what bounds it: the literal draw that keeps the
// cursors and the selector in the table at every step, and the chain that
// links draws, which is the floor: each result picks the next shuffle slot,
// so no draw can find its slot before the one before it has loaded. Two
// chains: with the remainder by 42 on it, as the algorithm reads, and with
// the remainders computed ahead, as RandDraws does.
#include <benchmark/benchmark.h>

#include "tester/pattern_generator.h"
#include "tests/support/generator_state.h"

namespace {

constexpr int64_t kDraws = 1 << 16;

void projectDraws(benchmark::State& state) {
  seedRandNumber(45435243);
  uint32_t sink = 0;
  for (auto _ : state) {
    RandDraws draws;
    for (int64_t i = 0; i < kDraws; ++i) sink ^= draws.nextRand();
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * kDraws);
}

// Draws a block at a time, as the random bank test makes them.
void blockDraws(benchmark::State& state) {
  seedRandNumber(45435243);
  static uint32_t block[512];
  for (auto _ : state) {
    RandDraws draws;
    for (int64_t i = 0; i < kDraws; i += 512) {
      draws.fill(block, 512);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * kDraws);
}

// The draw with six no-ops added to each: they take issue slots and nothing
// else. Where the chain's load takes 5 cycles, a core that issues six
// instructions a cycle has 30 slots per draw; where it takes 4 (AMD's Zen
// cores), 24. The draw keeps pace with the chain on such a core only if it
// still does here with six slots fewer.
void projectDrawsSixNops(benchmark::State& state) {
  seedRandNumber(45435243);
  uint32_t sink = 0;
  for (auto _ : state) {
    RandDraws draws;
    for (int64_t i = 0; i < kDraws; ++i) {
      sink ^= draws.nextRand();
      asm volatile(".rept 6\n\tnop\n\t.endr");
    }
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * kDraws);
}

void literalDraws(benchmark::State& state) {
  seedRandNumber(45435243);
  uint32_t sink = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kDraws; ++i) sink ^= literalDraw();
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * kDraws);
}

// Only what every draw must wait for: the slot from the previous result, and
// the load of the shuffle word there.
void drawChain(benchmark::State& state) {
  seedRandNumber(45435243);
  uint32_t selector = randTable[kSelector];
  for (auto _ : state) {
    for (int64_t i = 0; i < kDraws; ++i) {
      selector = randTable[kShuffleFirst + selector % kShuffleSize];
    }
  }
  benchmark::DoNotOptimize(selector);
  state.SetItemsProcessed(state.iterations() * kDraws);
}

// The chain RandDraws is left with: one load from a slot to its successor.
void slotChain(benchmark::State& state) {
  seedRandNumber(45435243);
  uint32_t next[kShuffleSize];
  for (uint32_t i = 0; i < kShuffleSize; ++i) {
    next[i] = randTable[kShuffleFirst + i] % kShuffleSize;
  }
  benchmark::DoNotOptimize(next);
  uint32_t slot = randTable[kSelector] % kShuffleSize;
  for (auto _ : state) {
    for (int64_t i = 0; i < kDraws; ++i) slot = next[slot];
  }
  benchmark::DoNotOptimize(slot);
  state.SetItemsProcessed(state.iterations() * kDraws);
}

BENCHMARK(projectDraws)->Name("generator/nextRand");
BENCHMARK(blockDraws)->Name("generator/fill");
BENCHMARK(projectDrawsSixNops)->Name("generator/nextRand+6-nops");
BENCHMARK(literalDraws)->Name("generator/table-resident");
BENCHMARK(drawChain)->Name("generator/remainder-chain");
BENCHMARK(slotChain)->Name("generator/slot-chain");

}  // namespace
