#include "console/full_testing_estimate.h"

#include <cmath>
#include <cstdio>

namespace {

// 100 % coverage, as the progress line counts it.
constexpr uint64_t kFullCoveragePasses = 2000;

}  // namespace

TestsToFullCoverage testsToFullCoverage(uint64_t passCount) {
  TestsToFullCoverage tests = {0, 0};
  // The batches as the schedule runs them; every block test counts one
  // pass as it starts, and each batch one more after its decay tests.
  uint64_t passes = passCount;
  const auto blockTest = [&] {
    if (passes >= kFullCoveragePasses) return false;
    ++passes;
    ++tests.blockTests;
    return true;
  };
  for (uint64_t size = 10; passes < kFullCoveragePasses;
       size = static_cast<uint64_t>(static_cast<double>(size) * 1.4)) {
    tests.decayTests += size < 100 ? size : 100;
    ++passes;
    for (uint64_t r = size; r >= 1; --r) {
      if (!blockTest() || !blockTest()) return tests;
      if (r % 8 == 4 && !blockTest()) return tests;
    }
    if (!blockTest()) return tests;
  }
  return tests;
}

double secondsToFullCoverage(uint64_t passCount, int64_t elapsedSeconds) {
  const double elapsed =
      elapsedSeconds < 1 ? 1.0 : static_cast<double>(elapsedSeconds);
  return static_cast<double>(testsToFullCoverage(passCount).blockTests) *
         elapsed / static_cast<double>(kTimedBlockTests);
}

std::string durationWords(double seconds) {
  char text[64];
  const uint64_t whole =
      seconds > 0 ? static_cast<uint64_t>(std::llround(seconds)) : 0;
  const uint64_t minutes = (whole + 30) / 60;
  if (whole < 60) {
    snprintf(text, sizeof text, "%llu s",
             static_cast<unsigned long long>(whole));
  } else if (minutes < 60) {
    snprintf(text, sizeof text, "%llu min",
             static_cast<unsigned long long>(minutes));
  } else if (minutes < 48 * 60) {
    snprintf(text, sizeof text, "%llu h %llu min",
             static_cast<unsigned long long>(minutes / 60),
             static_cast<unsigned long long>(minutes % 60));
  } else {
    const uint64_t hours = (whole + 1800) / 3600;
    snprintf(text, sizeof text, "%llu d %llu h",
             static_cast<unsigned long long>(hours / 24),
             static_cast<unsigned long long>(hours % 24));
  }
  return text;
}

std::string fullTestingEstimateLine(double seconds) {
  return "Full testing reaches 100 % coverage in about " +
         durationWords(seconds) + " at this speed.";
}
