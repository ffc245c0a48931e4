// The tests on one worker and on a worker per CPU, beside what the machine
// itself moves with every CPU at once: glibc memcpy, then the best plain
// check, each CPU over its own slice of the same blocks. The copy tests and
// the random bank test move the same bytes per item as that reference (a
// word read and written, then two read; the random bank test writes two and
// reads two), so their rates compare directly. Wall-clock rates: the work
// runs on other threads than the one that times it.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "app/schedule.h"
#include "bench/areas.h"
#include "bench/read_reduction.h"
#include "bench/silenced.h"
#include "bench/silent_tester.h"
#include "bench/workers.h"
#include "tester/bank_slices.h"
#include "tester/worker_pool.h"

namespace {

std::vector<unsigned> cpusOfThisProcess() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<unsigned> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return {0};
  for (unsigned cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

int pinThisThread(unsigned cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

WorkerPool& everyCpu() {
  static WorkerPool pool(cpusOfThisProcess(), pinThisThread);
  return pool;
}

// One worker: the thread that times the benchmark runs the tests.
WorkerPool* poolOf(bool all) { return all ? &everyCpu() : nullptr; }

// A tester on the start-up area with one worker or all, its banks equal.
SilentTester& testerWith(bool all) {
  static SilentTester testers[2];
  SilentTester& tester = testers[all ? 1 : 0];
  tester.useWorkers(poolOf(all));
  useArea(tester, benchArea(AreaKind::kStartup));
  tester.seedRand(45435243);
  tester.runTestBanksAllRand();
  return tester;
}

void copyPair(benchmark::State& state, bool all) {
  SilentTester& tester = testerWith(all);
  for (auto _ : state) {
    tester.runCopyTest();
    tester.runCopyTestB();
  }
  state.SetItemsProcessed(state.iterations() * 2 * tester.wordsPerBank);
}

void randomBank(benchmark::State& state, bool all) {
  SilentTester& tester = testerWith(all);
  for (auto _ : state) tester.runTestBanksAllRand();
  state.SetItemsProcessed(state.iterations() * tester.wordsPerBank);
}

// The tests that compare memory with what it should hold, per 16 bytes
// moved, as the reference counts its items: the complement test writes a
// word pair and reads it back (16 bytes a pair); the march sweep makes ten
// accesses of each word of both banks (80 bytes a pair, five items).
void complement(benchmark::State& state, bool all) {
  SilentTester& tester = testerWith(all);
  for (auto _ : state) tester.runComplementTest();
  state.SetItemsProcessed(state.iterations() * tester.wordsPerBank);
}

void marchSweep(benchmark::State& state, bool all) {
  SilentTester& tester = testerWith(all);
  for (auto _ : state) tester.runMarchSweep();
  state.SetItemsProcessed(state.iterations() * 5 * tester.wordsPerBank);
}

// The first batch of the endless schedule (size 10: ten decay tests, twenty
// copy tests, two random bank tests, with their progress lines).
void batch(benchmark::State& state, bool all) {
  SilentTester& tester = testerWith(all);
  for (auto _ : state) {
    Schedule<SilentTester> schedule(tester, [] { return time(nullptr); });
    Silenced silenced;
    schedule.runBatch(kFirstBatchSize);
  }
  state.SetItemsProcessed(state.iterations());
}

// memcpy of bank B's block into bank A's, then the check of the two, each
// CPU on its own slice at once (or the whole block on this thread).
void memcpyThenReduction(benchmark::State& state, bool all) {
  const BenchArea& area = benchArea(AreaKind::kStartup);
  const u64 count = area.wordsPerBank - 512;
  u32* const a = area.bankA + 512;
  u32* const b = area.bankB + 99;
  const unsigned workers = all ? everyCpu().size() : 1;
  std::vector<int> differ(workers, 0);
  auto slice = [&](unsigned worker) {
    const WordRange part = bankSlice(a, count, workers, worker);
    memcpy(a + part.begin, b + part.begin, part.size() * 4);
    differ[worker] |=
        readReduction(a + part.begin, b + part.begin, part.size());
  };
  for (auto _ : state) {
    if (all) {
      everyCpu().run(slice);
    } else {
      slice(0);
    }
    benchmark::ClobberMemory();
  }
  for (int d : differ) {
    if (d) state.SkipWithError("the blocks should be equal");
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void add(const char* name, void (*bench)(benchmark::State&, bool), bool all) {
  benchmark::RegisterBenchmark(
      name, [=](benchmark::State& state) { bench(state, all); })
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}

const bool kRegistered = [] {
  add("workers/copy-pair/one", copyPair, false);
  add("workers/copy-pair/all", copyPair, true);
  add("workers/random-bank/one", randomBank, false);
  add("workers/random-bank/all", randomBank, true);
  add("workers/complement/one", complement, false);
  add("workers/complement/all", complement, true);
  add("workers/march-sweep/one", marchSweep, false);
  add("workers/march-sweep/all", marchSweep, true);
  add("workers/memcpy+reduction/one-cpu", memcpyThenReduction, false);
  add("workers/memcpy+reduction/all-cpus", memcpyThenReduction, true);
  benchmark::RegisterBenchmark("workers/batch/one",
                               [](benchmark::State& s) { batch(s, false); })
      ->UseRealTime()
      ->Unit(benchmark::kSecond)
      ->Iterations(1);
  benchmark::RegisterBenchmark("workers/batch/all",
                               [](benchmark::State& s) { batch(s, true); })
      ->UseRealTime()
      ->Unit(benchmark::kSecond)
      ->Iterations(1);
  return true;
}();

}  // namespace

unsigned benchWorkers() { return everyCpu().size(); }
