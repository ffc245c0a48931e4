// The memory tests as the schedule runs them, on the start-up area through a
// tester whose hooks do nothing: the random bank test beside the bare
// generator, one decay test and write-speed call on huge and on small pages,
// the opening's burst of 10,240 write-speed calls, one copy-test pair beside
// the same traffic through the C library, and the whole opening sequence with
// the speed score it would print.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/schedule.h"
#include "bench/areas.h"
#include "bench/read_reduction.h"
#include "bench/silenced.h"
#include "bench/silent_tester.h"
#include "tester/block_kernels.h"
#include "tester/pattern_generator.h"

namespace {

// A tester on `kind`'s area whose banks hold equal words, as the random bank
// test leaves them for the decay and write-speed tests.
SilentTester& testerOn(AreaKind kind) {
  static SilentTester testers[3];
  SilentTester& tester = testers[static_cast<int>(kind)];
  useArea(tester, benchArea(kind));
  tester.seedRand(45435243);
  tester.runTestBanksAllRand();
  return tester;
}

void randomBankTest(benchmark::State& state, AreaKind kind) {
  SilentTester& tester = testerOn(kind);
  for (auto _ : state) tester.runTestBanksAllRand();
  state.SetItemsProcessed(state.iterations() * tester.wordsPerBank);
}

// What the random bank test cannot go below, its access order kept: the
// draws of its fill, then its check over the whole banks, which may start only
// when the fill has ended. Only the fill's stores are left out.
void drawsThenCheck(benchmark::State& state) {
  SilentTester& tester = testerOn(AreaKind::kStartup);
  u32 sink = 0;
  for (auto _ : state) {
    {
      // The fill's draws as it makes them: a block at a time.
      alignas(64) u32 block[kFillBlockWords];
      RandDraws draws;
      for (u64 k = 0; k < tester.wordsPerBank; k += kFillBlockWords) {
        const u64 count =
            std::min<u64>(kFillBlockWords, tester.wordsPerBank - k);
        draws.fill(block, count);
        sink ^= block[count - 1];
      }
    }
    sink ^= memCmpFast(tester.bankA, tester.bankB, tester.wordsPerBank);
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * tester.wordsPerBank);
}

void decayTest(benchmark::State& state, AreaKind kind) {
  SilentTester& tester = testerOn(kind);
  for (auto _ : state) tester.runDecayTest();
  state.SetItemsProcessed(state.iterations() * 1024 * 1024);
}

void writeSpeedCall(benchmark::State& state, AreaKind kind) {
  SilentTester& tester = testerOn(kind);
  u64 lag = 0;
  for (auto _ : state) {
    tester.testWriteSpeed(lag);
    lag = (lag + 255) % 256;
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}

// The opening's fast write tests: reseed, then lags 0, 255, ..., 1 forty
// times over.
void writeSpeedBurst(benchmark::State& state, AreaKind kind) {
  SilentTester& tester = testerOn(kind);
  for (auto _ : state) {
    tester.seedRand(45435243);
    for (u64 n = 10240; n >= 1; --n) tester.testWriteSpeed(n % 256);
  }
  state.SetItemsProcessed(state.iterations() * 10240 * 1024);
}

void copyPair(benchmark::State& state) {
  SilentTester& tester = testerOn(AreaKind::kStartup);
  for (auto _ : state) {
    tester.runCopyTest();
    tester.runCopyTestB();
  }
  state.SetItemsProcessed(state.iterations() * 2 * tester.wordsPerBank);
}

// The same traffic with glibc memcpy and the best plain check: bank B's
// block into bank A and checked, then back.
void copyPairReference(benchmark::State& state) {
  const BenchArea& area = benchArea(AreaKind::kStartup);
  const u64 count = area.wordsPerBank - 512;
  u32* const a = area.bankA + 512;
  u32* const b = area.bankB + 99;
  int differ = 0;
  for (auto _ : state) {
    memcpy(a, b, count * 4);
    differ |= readReduction(a, b, count);
    memcpy(b, a, count * 4);
    differ |= readReduction(a, b, count);
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(differ);
  state.SetItemsProcessed(state.iterations() * 2 * area.wordsPerBank);
}

// CPU time of this thread, in seconds: unlike the wall clock, it does not
// grow when other work shares the machine.
double threadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The opening sequence through the engine. The schedule reads the clock
// first when the timed stretch starts and next when it scores it; the clock
// given here notes the CPU time of each reading, so the score comes out exact
// instead of in whole seconds, and as the machine would score alone.
void openingSequence(benchmark::State& state) {
  SilentTester& tester = testerOn(AreaKind::kStartup);
  double score = 0;
  for (auto _ : state) {
    std::vector<double> readings;
    Schedule<SilentTester> schedule(tester, [&readings] {
      readings.push_back(threadSeconds());
      return time(nullptr);
    });
    {
      Silenced silenced;
      schedule.runOpening();
    }
    const double timed = readings.at(1) - readings.at(0);
    score = static_cast<double>(tester.wordsPerBank) / timed / 26800.0;
  }
  state.counters["score"] = score;
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(randomBankTest, startup, AreaKind::kStartup)
    ->Name("tests/random-bank/start-up")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(randomBankTest, aligned, AreaKind::kAligned)
    ->Name("tests/random-bank/aligned")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(drawsThenCheck)
    ->Name("tests/random-bank/draws+check")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decayTest, huge, AreaKind::kStartup)
    ->Name("tests/decay/huge-pages")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decayTest, small, AreaKind::kSmallPages)
    ->Name("tests/decay/small-pages")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(writeSpeedCall, huge, AreaKind::kStartup)
    ->Name("tests/write-speed/huge-pages")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(writeSpeedCall, small, AreaKind::kSmallPages)
    ->Name("tests/write-speed/small-pages")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(writeSpeedBurst, huge, AreaKind::kStartup)
    ->Name("tests/write-speed-burst/huge-pages")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(writeSpeedBurst, small, AreaKind::kSmallPages)
    ->Name("tests/write-speed-burst/small-pages")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(copyPair)->Name("tests/copy-pair")->Unit(benchmark::kMillisecond);
BENCHMARK(copyPairReference)
    ->Name("tests/copy-pair/memcpy+reduction")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(openingSequence)
    ->Name("tests/opening-sequence")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
