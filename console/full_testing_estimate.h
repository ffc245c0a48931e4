// How long full testing needs to reach 100 % coverage, estimated from the
// speed score's timed stretch: the same random bank and copy tests over the
// same test area, on the same workers, as the batches run.
#ifndef CELLCHECK_CONSOLE_FULL_TESTING_ESTIMATE_H_
#define CELLCHECK_CONSOLE_FULL_TESTING_ESTIMATE_H_

#include <cstdint>
#include <string>

// The tests the batches run from the start of full testing until the
// coverage reaches 100 % (2000 passes), starting at `passCount`.
struct TestsToFullCoverage {
  uint64_t blockTests;  // copy and random bank tests
  uint64_t decayTests;
};
TestsToFullCoverage testsToFullCoverage(uint64_t passCount);

// The score's timed stretch: ten quick random bank tests, twenty copy-test
// pairs with a random bank test after each five, and one to clean up.
constexpr uint64_t kTimedBlockTests = 10 + 40 + 4 + 1;

// Seconds to 100 % from `passCount`, when the timed stretch took
// `elapsedSeconds` (whole seconds, as the score takes them; 0 counts as
// one). Each copy or random bank test costs what one took in the stretch;
// the decay tests, a fixed number of probes whatever the area, are left
// out: they add about a minute however large the area (which matters only
// on small ones).
double secondsToFullCoverage(uint64_t passCount, int64_t elapsedSeconds);

// "45 s", "12 min", "2 h 35 min", "3 d 4 h".
std::string durationWords(double seconds);

// The line after the score, e.g. "Full testing reaches 100 % coverage in
// about 2 h 35 min at this speed."
std::string fullTestingEstimateLine(double seconds);

#endif  // CELLCHECK_CONSOLE_FULL_TESTING_ESTIMATE_H_
