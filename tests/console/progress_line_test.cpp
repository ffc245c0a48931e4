#include "console/progress_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/console_capture.h"

namespace {

std::string bar(int filled) {
  return "[" + std::string(filled, '#') + std::string(50 - filled, '-') + "]";
}

class ProgressLineTest : public ::testing::Test {
 protected:
  uint32_t testerErrors = 0;
  time_t now = 100000;
  ProgressLine line{testerErrors, [this] { return now; }};
  ConsoleCapture console;
};

TEST_F(ProgressLineTest, FirstLineIsATurnAndRewritesFollow) {
  line.printStats(0.05f, 0, '#');
  EXPECT_EQ(console.take(), "\b \n    0% coverage,  0 errors " + bar(1) + "/");
  // No turn: the line is rewritten from its start, the spinner turns.
  line.printStats(2.85f, 3, '#');
  EXPECT_EQ(console.take(), "\r    3% coverage,  3 errors " + bar(2) + "\\");
  line.printStats(150.0f, 12, '*');
  EXPECT_EQ(console.take(), "\r  150% coverage, 12 errors [" +
                                std::string(26, '*') + std::string(24, '-') +
                                "]/");
}

TEST_F(ProgressLineTest, PassingAWholeHundredKeepsTheOldLine) {
  line.printStats(99.95f, 0, '#');
  console.take();
  line.printStats(100.0f, 0, '#');
  EXPECT_EQ(console.take(), "\b \n  100% coverage,  0 errors " + bar(1) + "\\");
}

TEST_F(ProgressLineTest, BarFillsOneCellPerTwoPercentWithinTheHundred) {
  struct Case {
    float coverage;
    int filled;
  };
  for (Case c : {Case{0.0f, 1}, Case{1.9f, 1}, Case{2.0f, 2}, Case{49.0f, 25},
                 Case{97.99f, 49}, Case{98.0f, 50}, Case{99.99f, 50}}) {
    ProgressLine fresh(testerErrors, [] { return time_t{0}; });
    fresh.printStats(c.coverage, 0, '#');
    const std::string shown = console.take();
    EXPECT_EQ(shown.substr(shown.size() - 53), bar(c.filled) + "/")
        << c.coverage;
  }
}

TEST_F(ProgressLineTest, EveryTenthTurnFromTheSixthPrintsASummary) {
  line.setStartTime(100000);
  testerErrors = 7;
  for (int turn = 1; turn <= 16; ++turn) {
    const int percent = (turn - 1) * 100 + 10;
    if (turn > 1) {
      line.printStats(static_cast<float>(percent - 20), 3, '#');
      console.take();
    }
    now = 100000 + turn * 900;  // a quarter hour per turn
    line.printStats(static_cast<float>(percent), 3, '#');
    const std::string shown = console.take();
    std::string start = "\b \n";
    // The summary reports the tester's own count, not the line's.
    if (turn == 6) {
      start = "\n\rSummary: tested for 1.5 hours, with 7 errors found.\n\r";
    }
    if (turn == 16) {
      start = "\n\rSummary: tested for 4.0 hours, with 7 errors found.\n\r";
    }
    char figures[32];
    snprintf(figures, sizeof figures, "%5d%% coverage,  3 errors", percent);
    EXPECT_EQ(shown.substr(0, start.size()), start) << "turn " << turn;
    EXPECT_EQ(shown.substr(start.size(), 26), figures) << "turn " << turn;
  }
}

}  // namespace
