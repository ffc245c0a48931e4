// The estimate of full testing's time, from a dry run of the schedule's
// own test order.
#include "app/dry_run.h"

#include <gtest/gtest.h>

namespace {

TEST(DryRunTest, CountsTheBatchesTestsUpTo100Percent) {
  // From the 57 passes of the opening: the ten batches of 10 to 191 (each
  // with its complement test) and the eleventh (267) until its test that
  // makes pass 2000.
  const TestsToFullCoverage fromOpening = testsToFullCoverage(57);
  EXPECT_EQ(fromOpening.blockTests, 1942u);
  EXPECT_EQ(fromOpening.decayTests,
            10u + 14 + 19 + 26 + 36 + 50 + 70 + 98 + 100 + 100 + 100);
  // Already there: nothing left.
  EXPECT_EQ(testsToFullCoverage(2000).blockTests, 0u);
  // One pass short: the first batch's decay tests count it.
  EXPECT_EQ(testsToFullCoverage(1999).blockTests, 0u);
  EXPECT_EQ(testsToFullCoverage(1999).decayTests, 10u);
}

TEST(DryRunTest, ScalesTheTimedStretchToTheTestsLeft) {
  // Ten quick tests, twenty copy pairs, a random bank test after each five
  // of them and one to clean up.
  EXPECT_EQ(timedStretchTests(), 55u);
  struct Case {
    int64_t elapsed;
    double seconds;
  };
  const Case cases[] = {
      {55, 1942.0},
      {110, 3884.0},
      // The same second at both ends: less than one, counted as one.
      {0, 1942.0 / 55},
      {-3, 1942.0 / 55},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elapsed);
    EXPECT_NEAR(secondsToFullCoverage(57, c.elapsed), c.seconds, 1e-9);
  }
}

}  // namespace
