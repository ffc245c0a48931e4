// What a stuck bit of the tests costs: stores to its word and to the other
// words of its page are each stepped through a fault and a trap. The plain
// store beside them is the reference; the rates are stores per second.
#include <benchmark/benchmark.h>

#include "tests/support/bank_pair.h"
#include "tests/support/stuck_bits.h"

namespace {

constexpr u64 kWord = 1500;  // on the second page of the bank

void storeTo(benchmark::State& state, u64 index, bool held) {
  BankPair banks(4096);
  StuckBit stuck(&banks.a()[kWord], 0, true);
  // The plain stores go to a page that no bit holds.
  volatile u32* word = held ? &banks.a()[index] : &banks.a()[index + 2048];
  u32 value = 0;
  for (auto _ : state) *word = value++;
  state.SetItemsProcessed(state.iterations());
}

void heldWord(benchmark::State& state) { storeTo(state, kWord, true); }
void neighbour(benchmark::State& state) { storeTo(state, kWord + 1, true); }
void plain(benchmark::State& state) { storeTo(state, kWord, false); }

BENCHMARK(heldWord)->Name("stuck-bit/store-to-held-word");
BENCHMARK(neighbour)->Name("stuck-bit/store-to-its-page");
BENCHMARK(plain)->Name("stuck-bit/plain-store");

}  // namespace

BENCHMARK_MAIN();
