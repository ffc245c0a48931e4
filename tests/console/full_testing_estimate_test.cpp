#include "console/full_testing_estimate.h"

#include <gtest/gtest.h>

namespace {

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
