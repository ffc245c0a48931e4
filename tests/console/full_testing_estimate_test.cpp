#include "console/full_testing_estimate.h"

#include <gtest/gtest.h>

namespace {

TEST(FullTestingEstimateTest, CountsTheBatchesTestsUpTo100Percent) {
  // From the 57 passes of the opening: the ten batches of 10 to 191 and
  // the eleventh (267) until its test that makes pass 2000.
  const TestsToFullCoverage fromOpening = testsToFullCoverage(57);
  EXPECT_EQ(fromOpening.blockTests, 1932u);
  EXPECT_EQ(fromOpening.decayTests,
            10u + 14 + 19 + 26 + 36 + 50 + 70 + 98 + 100 + 100 + 100);
  // Already there: nothing left.
  EXPECT_EQ(testsToFullCoverage(2000).blockTests, 0u);
  // One pass short: the first batch's decay tests count it.
  EXPECT_EQ(testsToFullCoverage(1999).blockTests, 0u);
  EXPECT_EQ(testsToFullCoverage(1999).decayTests, 10u);
}

TEST(FullTestingEstimateTest, ScalesTheTimedStretchToTheTestsLeft) {
  struct Case {
    int64_t elapsed;
    double seconds;
  };
  const Case cases[] = {
      {55, 1932.0},
      {110, 3864.0},
      // The same second at both ends: less than one, counted as one.
      {0, 1932.0 / 55},
      {-3, 1932.0 / 55},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elapsed);
    EXPECT_NEAR(secondsToFullCoverage(57, c.elapsed), c.seconds, 1e-9);
  }
}

TEST(FullTestingEstimateTest, SaysTheDurationInTheUnitsThatMatter) {
  struct Case {
    double seconds;
    const char* words;
  };
  const Case cases[] = {
      {0, "0 s"},
      {35.1, "35 s"},
      {59.4, "59 s"},
      {59.6, "1 min"},
      {89, "1 min"},
      {90, "2 min"},
      {3569, "59 min"},
      {3590, "1 h 0 min"},
      {9300, "2 h 35 min"},
      {47.9 * 3600, "47 h 54 min"},
      {48 * 3600, "2 d 0 h"},
      {20.4 * 86400, "20 d 10 h"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(durationWords(c.seconds), c.words);
  }
  EXPECT_EQ(fullTestingEstimateLine(277),
            "Full testing reaches 100 % coverage in about 5 min at this "
            "speed.");
}

}  // namespace
