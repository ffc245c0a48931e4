#include "console/cellchecker_dos.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/cprintf.h"
#include "tests/support/bank_pair.h"
#include "tests/support/console_capture.h"
#include "tests/support/fixed_addresses.h"
#include "tests/support/stuck_bits.h"

namespace {

TEST(CprintfTest, FormatsAndFlushesAtOnce) {
  ConsoleCapture console;
  cprintf("%s %u %llu %%\n\r", "text", 4294967295u, 18446744073709551615ull);
  EXPECT_EQ(console.take(), "text 4294967295 18446744073709551615 %\n\r");
  cprintf("no line end");
  EXPECT_EQ(console.take(), "no line end");
}

class ConsoleReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tester.bankA = a.data();
    tester.bankB = b.data();
    tester.wordsPerBank = a.size();
  }

  std::vector<u32> a = std::vector<u32>(16, 0);
  std::vector<u32> b = std::vector<u32>(16, 0);
  CellcheckerDos tester;
  ConsoleCapture console;
};

TEST_F(ConsoleReporterTest, StatusMessageStandsOnALineOfItsOwn) {
  tester.statusMessage("Preparing and pre-testing memory...");
  EXPECT_EQ(console.take(), "\n\rPreparing and pre-testing memory...\n\r");
}

TEST_F(ConsoleReporterTest, WordPairErrorShowsTheWordsAsTheyAreNow) {
  a[7] = 5;
  b[7] = 4;
  tester.passCount = 40;
  tester.report(u64{7});
  EXPECT_EQ(console.take(),
            "\n\rError found with word pair# 7, values 5, 4 do not match\n\r"
            "Error 1, after  2 % coverage\n\r"
            "Bank A and bank B: physical address unknown; bits 0x00000001 "
            "differ\n\r");
  EXPECT_EQ(tester.errorCount, 1u);

  a[7] = 4294967295u;
  tester.report(u64{7});
  EXPECT_EQ(console.take(),
            "\n\rError found with word pair# 7, values 4294967295, 4 do not "
            "match\n\rError 2, after  2 % coverage\n\r"
            "Bank A and bank B: physical address unknown; bits 0xfffffffb "
            "differ\n\r");
}

TEST_F(ConsoleReporterTest, OneWordErrorShowsWhatWasReadAndWhatWasWritten) {
  tester.passCount = 40;
  a[3] = 99;  // not read again: the word may have been rewritten since
  tester.reportWord(3, true, 6, 4);
  EXPECT_EQ(console.take(),
            "\n\rError found with word# 3 of bank B, value 6 read where 4 "
            "was written\n\rError 1, after  2 % coverage\n\r"
            "Bank B: physical address unknown; bits 0x00000002 differ\n\r");
  EXPECT_EQ(tester.errorCount, 1u);
}

TEST_F(ConsoleReporterTest, CrossPairErrorNamesBothIndices) {
  tester.passCount = 2001;
  tester.errorCount = 41;
  a[15] = 0x80;
  tester.report(u64{15}, u64{3});
  EXPECT_EQ(console.take(),
            "\n\rError found with word pair# 15 or 3 (either could be the "
            "source)\n\rError 42, after 100 % coverage\n\r"
            "Bank A and bank B: physical address unknown; bits 0x00000080 "
            "differ\n\r");
  EXPECT_EQ(tester.errorCount, 42u);
}

TEST_F(ConsoleReporterTest, WhatWasFoundOutsideTheTestsComesBeforeAnError) {
  int shown = 0;
  tester.showFirst(
      [&] { cprintf("\n\rcaught outside the tests %d\n\r", ++shown); });
  tester.report(u64{2});
  tester.report(u64{2}, u64{3});
  const std::string text = console.take();
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(text.find("caught outside the tests 1"), 2u);
  EXPECT_LT(text.find("caught outside the tests 2"),
            text.find("word pair# 2 or 3"));
  EXPECT_GT(text.find("caught outside the tests 2"), text.find("Error 1,"));
}

TEST_F(ConsoleReporterTest, CoverageIsRoundedToAWholePercentAtLeastTwoWide) {
  struct Case {
    u64 passes;
    const char* shown;
  };
  for (Case c : {Case{0, " 0"}, Case{9, " 0"}, Case{11, " 1"}, Case{57, " 3"},
                 Case{300, "15"}, Case{2001, "100"}, Case{40000, "2000"}}) {
    tester.passCount = c.passes;
    tester.errorCount = 0;
    tester.notifyError();
    EXPECT_EQ(console.take(),
              std::string("Error 1, after ") + c.shown + " % coverage\n\r");
  }
}

// A front-end derived from the console one decides about counting itself.
class SilentCounter : public CellcheckerDos {
 public:
  void notifyError() override { ++notified; }
  int notified = 0;
};

TEST(ConsoleReporterDerivedTest, ReportsCallTheOverriddenNotifyError) {
  std::vector<u32> a(4, 1), b(4, 2);
  SilentCounter tester;
  tester.bankA = a.data();
  tester.bankB = b.data();
  ConsoleCapture console;
  tester.report(u64{1});
  tester.report(u64{1}, u64{0});
  EXPECT_EQ(tester.notified, 2);
  EXPECT_EQ(tester.errorCount, 0u);
  EXPECT_EQ(console.take(),
            "\n\rError found with word pair# 1, values 1, 2 do not match\n\r"
            "Bank A and bank B: physical address unknown; bits 0x00000003 "
            "differ\n\r"
            "\n\rError found with word pair# 1 or 0 (either could be the "
            "source)\n\r"
            "Bank A and bank B: physical address unknown; bits 0x00000003 "
            "differ\n\r");
}

TEST(ConsoleReporterPreTestTest,
     RepeatingPatternMismatchesAreNotShownOrCountedAsErrors) {
  constexpr u64 kAreaWords = 2 * 4096;
  BankPair pages(kAreaWords);  // the area on pages of its own
  u32* area = pages.a();
  char* bytes = reinterpret_cast<char*>(area);
  CellcheckerDos tester;
  // A stuck bit in the repetitions of bank A, against what is written there
  // after the same seed: the pre-test sees a mismatch.
  tester.seedRand(1);
  ASSERT_EQ(tester.initNoAlloc(kAreaWords * 4, bytes), kInitOk);
  StuckBit fault(&area[3000], 3, (area[3000] >> 3 & 1) == 0);
  tester.seedRand(1);
  // The bad-memory record counts them for its summary.
  BadMemory record;
  FixedAddresses addresses;
  BadMemoryWatch watch(record, addresses, [] { return time_t{0}; });
  tester.watchBadMemory(&watch);

  ConsoleCapture console;
  ASSERT_EQ(tester.initNoAlloc(kAreaWords * 4, bytes), kInitOk);
  EXPECT_NE(area[3000], area[3000 - 1023]);
  EXPECT_EQ(console.take(), "\n\rPreparing and pre-testing memory...\n\r");
  EXPECT_EQ(tester.errorCount, 0u);
  EXPECT_GE(record.totals().pretestMismatches, 1u);
  EXPECT_EQ(record.totals().errors, 0u);
}

}  // namespace
