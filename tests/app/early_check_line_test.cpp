#include "app/early_check_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/console_capture.h"
#include "tests/support/fake_kernel.h"

namespace {

TEST(EarlyCheckLineTest, SaysWhatTheLogShows) {
  using State = EarlyCheck::State;
  struct Case {
    EarlyCheck check;
    const char* line;
  };
  std::vector<EarlyCheck::Range> fiveBad;
  for (u64 i = 1; i <= 5; ++i) fiveBad.push_back({i << 20, (i << 20) + 8});
  for (const Case& c : std::vector<Case>{
           {{State::kOff, 0, 0, {}},
            "Early check of all free memory: off (no memtest= on the kernel "
            "command line, or memtest=0)"},
           {{State::kLost, 3, 0, {}},
            "Early check of all free memory: its lines are no longer in the "
            "kernel's log"},
           {{State::kIncomplete, 3, 2, {}},
            "Early check of all free memory: only 2 of 3 patterns in the "
            "kernel's log, no errors in them"},
           {{State::kPassed, 3, 3, {}},
            "Early check of all free memory: 3 patterns, no errors"},
           {{State::kPassed, 1, 1, {}},
            "Early check of all free memory: 1 pattern, no errors"},
           {{State::kFoundBad, 3, 3, {{0x12345008, 0x12345010}}},
            "Early check of all free memory: 3 patterns, bad memory at "
            "0x12345008-0x1234500f (the kernel keeps off it)"},
           {{State::kFoundBad, 3, 3, fiveBad},
            "Early check of all free memory: 3 patterns, bad memory at "
            "0x100000-0x100007, 0x200000-0x200007, 0x300000-0x300007, "
            "0x400000-0x400007, and 1 more (the kernel keeps off it)"},
       }) {
    EXPECT_EQ(earlyCheckLine(c.check), c.line);
  }
}

TEST(ReportEarlyCheckTest, PrintsTheLineAndRecordsTheBadRanges) {
  FakeKernel kernel;
  kernel.putFile("/proc/cmdline", "quiet memtest=1 console=ttyS0\n");
  kernel.log =
      "<6>[    0.000000] early_memtest: # of tests: 1\n"
      "<6>[    0.000000]   0x0000000000100000 - 0x0000000031000000 pattern "
      "0000000000000000\n"
      "<6>[    0.000000]   0000000000000000 bad mem addr 0x0000000012345008 - "
      "0x0000000012345010 reserved\n";
  BadMemory record;
  ConsoleCapture console;
  showAndRecordEarlyCheck(kernel, record);
  EXPECT_EQ(console.take(),
            "Early check of all free memory: 1 pattern, bad memory at "
            "0x12345008-0x1234500f (the kernel keeps off it)\n");
  EXPECT_EQ(record.totals().externalRanges, 1u);
  ASSERT_EQ(record.rangeCount(), 1);
  EXPECT_EQ(record.range(0).begin, 0x12345000u);
  EXPECT_EQ(record.range(0).end, 0x12346000u);
}

}  // namespace
