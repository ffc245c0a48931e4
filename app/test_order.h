// The order of the schedule's tests where it decides what the estimate of
// full testing's time counts: the speed score's timed stretch, and one batch
// of full testing. Each is written once, here, for any tester type: the
// schedule (app/schedule.h) runs them on its tester, and the estimate
// (app/dry_run.h) runs them dry on a tester that only counts, so that a test
// added here is in the estimate too.
#ifndef CELLCHECK_APP_TEST_ORDER_H_
#define CELLCHECK_APP_TEST_ORDER_H_

#include <algorithm>
#include <cstdint>

// The first batch's size; each next one is 1.4 times it, truncated.
constexpr uint64_t kFirstBatchSize = 10;
// A batch runs at most this many decay tests, however large it grows.
constexpr uint64_t kMaxDecayTestsPerBatch = 100;

// The speed score's timed stretch: ten quick random bank tests, then twenty
// copy-test pairs, and a last random bank test to clean up. `say(format,
// ...)` shows how far it has come (a dry run shows nothing); `between()` is
// the step between the opening's tests, after each quick test and each copy
// pair.
template <class Tester, class Say, class Between>
void runTimedStretch(Tester& tester, Say&& say, Between&& between) {
  for (int i = 0; i < 10; ++i) {
    tester.runTestBanksAllRand();
    say("\r Finished quick test %i.", i);
    between();
  }
  say("\n\r Running copy tests 0..19:\n\r\n\r");
  for (int j = 0; j < 20; ++j) {
    tester.runCopyTest();
    tester.runCopyTestB();
    say("\r Finished copy test %i", j);
    // The copy tests leave the banks equal only at a displacement; a
    // random bank test after each group of five makes them equal again.
    if (j % 5 == 4) tester.runTestBanksAllRand();
    between();
  }
  say("\n\r Cleaning up...");
  tester.runTestBanksAllRand();
}

// One batch of full testing. A test added to the batch is one line in run();
// the dry run's tester (app/dry_run.h) must then have the same operation,
// which says what the test counts.
struct FullTestingBatch {
  static uint64_t nextSize(uint64_t size) {
    return static_cast<uint64_t>(static_cast<double>(size) * 1.4);
  }

  // The tests of a batch of `size`, in order. `before()` comes before each
  // test (the progress line and the step between tests, or the dry run's
  // look at the coverage): false stops the batch there, and run() returns
  // false.
  template <class Tester, class Before>
  static bool run(Tester& tester, uint64_t size, Before&& before) {
    const auto test = [&tester, &before](auto operation) {
      if (!before()) return false;
      (tester.*operation)();
      return true;
    };
    const uint64_t decayTests = std::min(size, kMaxDecayTestsPerBatch);
    for (uint64_t k = 0; k < decayTests; ++k) {
      if (!test(&Tester::runDecayTest)) return false;
    }
    // The decay tests count no pass of their own; the batch counts one.
    ++tester.passCount;
    for (uint64_t r = size; r >= 1; --r) {
      if (!test(&Tester::runCopyTest)) return false;
      if (!test(&Tester::runCopyTestB)) return false;
      // One more random bank test after the pairs of r = 4, 12, 20, ...
      if (r % 8 == 4 && !test(&Tester::runTestBanksAllRand)) return false;
    }
    // Every test above compares memory with memory: a fault that changes
    // both words of a pair alike (a data line stuck in every word) passes
    // them all. This one checks the pairs against their complements, from
    // the top down, bank B first; it counts no pass and leaves the banks
    // unequal.
    if (!test(&Tester::runComplementTest)) return false;
    // The next batch's decay tests need bank B equal to bank A again.
    return test(&Tester::runTestBanksAllRand);
  }
};

#endif  // CELLCHECK_APP_TEST_ORDER_H_
