// How long full testing needs to reach 100 % coverage, from a dry run of the
// schedule's own test order (app/test_order.h): the timed stretch and the
// batches run on a tester that runs no test and only counts what each test
// would count. Whatever the order says, the estimate counts.
#ifndef CELLCHECK_APP_DRY_RUN_H_
#define CELLCHECK_APP_DRY_RUN_H_

#include <cstdint>

#include "app/test_order.h"
#include "tester/cellchecker.h"

// Stands in for the tester in a dry run: one operation for each test the
// schedule's order names, each counting what that test counts.
struct DryRunTester {
  uint64_t passCount = 0;
  // The copy, random bank and complement tests: each a pass over the
  // whole test area, the work the speed score's timed stretch measures.
  uint64_t blockTests = 0;
  // A fixed number of probes whatever the area, and no pass.
  uint64_t decayTests = 0;

  void runTestBanksAllRand() { countBlockTest(); }
  void runCopyTest() { countBlockTest(); }
  void runCopyTestB() { countBlockTest(); }
  void runDecayTest() { ++decayTests; }
  // The area written once and read once, like a random bank test without
  // its draws: a block test's time, and no pass (coverage counts the
  // passes of the bank-against-bank tests).
  void runComplementTest() { ++blockTests; }

 private:
  void countBlockTest() {
    ++passCount;
    ++blockTests;
  }
};

// The tests the batches run from the start of full testing until the
// coverage reaches 100 %, starting at `passCount`.
struct TestsToFullCoverage {
  uint64_t blockTests;  // copy and random bank tests
  uint64_t decayTests;
};
template <class Batch = FullTestingBatch>
TestsToFullCoverage testsToFullCoverage(uint64_t passCount) {
  DryRunTester count;
  count.passCount = passCount;
  const auto belowFull = [&count] { return coverageOf(count.passCount) < 100; };
  uint64_t size = kFirstBatchSize;
  while (Batch::run(count, size, belowFull)) size = Batch::nextSize(size);
  return {count.blockTests, count.decayTests};
}

// The copy and random bank tests of the speed score's timed stretch.
inline uint64_t timedStretchTests() {
  DryRunTester count;
  runTimedStretch(
      count, [](const char*, auto...) {}, [] {});
  return count.blockTests;
}

// Seconds to 100 % from `passCount`, when the timed stretch took
// `elapsedSeconds` (whole seconds, as the score takes them; 0 counts as
// one). Each copy or random bank test costs what one took in the stretch;
// the decay tests, a fixed number of probes whatever the area, are left
// out: they add about a minute however large the area (which matters only
// on small ones).
template <class Batch = FullTestingBatch>
double secondsToFullCoverage(uint64_t passCount, int64_t elapsedSeconds) {
  const double elapsed =
      elapsedSeconds < 1 ? 1.0 : static_cast<double>(elapsedSeconds);
  return static_cast<double>(testsToFullCoverage<Batch>(passCount).blockTests) *
         elapsed / static_cast<double>(timedStretchTests());
}

#endif  // CELLCHECK_APP_DRY_RUN_H_
