#include "console/bad_memory_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/cellchecker_dos.h"
#include "console/progress_line.h"
#include "tests/support/console_capture.h"
#include "tests/support/fixed_addresses.h"

namespace {

TEST(ErrorDetailsTest, NamesBothAddressesOrSaysTheyAreUnknown) {
  struct Case {
    u64 a;
    u64 b;
    u32 differing;
    const char* line;
  };
  for (Case c : {
           Case{0x1'2345'678c, 0x9abc'def0, 0x400,
                "Physical addresses: bank A 0x12345678c, bank B 0x9abcdef0 "
                "(either could be bad); bits 0x00000400 differ"},
           Case{kUnknownAddress, kUnknownAddress, 0x80000001,
                "Bank A and bank B: physical address unknown; bits 0x80000001 "
                "differ"},
           Case{0x1000, kUnknownAddress, 0x1,
                "Physical addresses: bank A 0x1000, bank B physical address "
                "unknown (either could be bad); bits 0x00000001 differ"},
           Case{kUnknownAddress, 0x2000, 0xffffffff,
                "Physical addresses: bank A physical address unknown, bank B "
                "0x2000 (either could be bad); bits 0xffffffff differ"},
       }) {
    char line[160];
    formatErrorDetails(line, sizeof line, c.a, c.b, c.differing);
    EXPECT_EQ(std::string(line), c.line);
  }
}

// Banks of 16 KiB at known physical addresses: bank A at 0x7654000, bank B at
// 0x1230000, and a clock the test moves.
class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tester.bankA = a.data();
    tester.bankB = b.data();
    tester.wordsPerBank = a.size();
    addresses.place(a.data(), a.size() * 4, 0x7654000);
    addresses.place(b.data(), b.size() * 4, 0x1230000);
    tester.watchBadMemory(&watch);
  }

  // How many bad-memory summaries in this text.
  static int summaries(const std::string& text) {
    int n = 0;
    for (size_t at = 0;
         (at = text.find("\n\rBad memory:", at)) != std::string::npos; ++at) {
      ++n;
    }
    return n;
  }

  std::vector<u32> a = std::vector<u32>(4096, 0);
  std::vector<u32> b = std::vector<u32>(4096, 0);
  time_t now = 1000;
  BadMemory record;
  FixedAddresses addresses;
  BadMemoryWatch watch{record, addresses, [this] { return now; }};
  CellcheckerDos tester;
  ConsoleCapture console;
};

TEST_F(WatchTest, BothReportShapesGetTheirThirdLine) {
  struct Case {
    u64 indexA;
    u64 indexB;
    const char* lines;
    const char* details;
  };
  for (Case c : {
           Case{1000, 1000,
                "\n\rError found with word pair# 1000, values 1024, 0 do not "
                "match\n\rError 1, after  0 % coverage\n\r",
                "Physical addresses: bank A 0x7654fa0, bank B 0x1230fa0 "
                "(either could be bad); bits 0x00000400 differ\n\r"},
           Case{1000, 17,
                "\n\rError found with word pair# 1000 or 17 (either could be "
                "the source)\n\rError 2, after  0 % coverage\n\r",
                "Physical addresses: bank A 0x7654fa0, bank B 0x1230044 "
                "(either could be bad); bits 0x00000400 differ\n\r"},
       }) {
    a[c.indexA] = 0x400;
    if (c.indexA == c.indexB) {
      tester.report(c.indexA);
    } else {
      tester.report(c.indexA, c.indexB);
    }
    const std::string shown = console.take();
    const std::string expected = std::string(c.lines) + c.details;
    EXPECT_EQ(shown.substr(0, expected.size()), expected);
  }
  // Both pairs are in the record, both words of each as suspects.
  EXPECT_EQ(record.totals().errors, 2u);
  ASSERT_EQ(record.pageCount(), 2);
  EXPECT_EQ(record.page(0).address, 0x1230000u);
  EXPECT_EQ(record.page(0).timesNamed, 2u);
  EXPECT_EQ(record.page(1).address, 0x7654000u);
  EXPECT_EQ(record.page(1).timesNamed, 2u);
}

// A word that read back other than what was written to it is the one
// suspect: its page alone is named, and the record keeps which word it was.
TEST_F(WatchTest, AOneWordErrorNamesThatWordsPageAlone) {
  tester.passCount = 40;
  // (The summary follows, as after any first error.)
  const std::string first =
      "\n\rError found with word# 1000 of bank A, value 1025 read where 1 "
      "was written\n\rError 1, after  2 % coverage\n\r"
      "Physical address: bank A 0x7654fa0 (this word is bad); bits "
      "0x00000400 differ\n\r";
  tester.reportWord(1000, false, 0x401, 0x1);
  EXPECT_EQ(console.take().substr(0, first.size()), first);
  const std::string second =
      "\n\rError found with word# 17 of bank B, value 0 read where "
      "2147483648 was written\n\rError 2, after  2 % coverage\n\r"
      "Physical address: bank B 0x1230044 (this word is bad); bits "
      "0x80000000 differ\n\r";
  tester.reportWord(17, true, 0, 0x80000000);
  EXPECT_EQ(console.take().substr(0, second.size()), second);
  EXPECT_EQ(tester.errorCount, 2u);
  EXPECT_EQ(record.totals().errors, 2u);
  EXPECT_EQ(record.totals().unknownAddresses, 0u);
  ASSERT_EQ(record.pageCount(), 2);
  EXPECT_EQ(record.page(0).address, 0x1230000u);
  EXPECT_EQ(record.page(0).timesNamed, 1u);
  EXPECT_EQ(record.page(1).address, 0x7654000u);
  EXPECT_EQ(record.page(1).timesNamed, 1u);
  const ReportedPair* kept = record.pairNumber(1);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->suspect, ReportedPair::Suspect::kWordB);
  EXPECT_EQ(kept->valueB, 0u);
  EXPECT_EQ(kept->valueA, 0x80000000u);
  EXPECT_EQ(kept->addressB, 0x1230044u);
  EXPECT_EQ(kept->addressA, kUnknownAddress);
}

TEST_F(WatchTest, TheSummaryComesAtOnceThenAtMostOnceAMinute) {
  a[0] = 1;
  tester.report(u64{0});  // t = 1000: the first news, shown at once
  std::string shown = console.take();
  EXPECT_EQ(summaries(shown), 1) << shown;
  EXPECT_NE(shown.find("memmap=4K$0x1230000 memmap=4K$0x7654000"),
            std::string::npos)
      << shown;

  now = 1030;
  a[1024] = 1;  // the next page: news, but held back
  tester.report(u64{1024});
  EXPECT_EQ(summaries(console.take()), 0);
  now = 1059;
  watch.poll();
  EXPECT_EQ(summaries(console.take()), 0);
  now = 1060;  // its minute has ended
  watch.poll();
  shown = console.take();
  EXPECT_EQ(summaries(shown), 1);
  EXPECT_NE(shown.find("memmap=8K$0x1230000 memmap=8K$0x7654000"),
            std::string::npos)
      << shown;

  now = 2000;  // the same word again: no news, no summary
  tester.report(u64{1024});
  watch.poll();
  EXPECT_EQ(summaries(console.take()), 0);

  a[4095] = 2;  // a new page and bit, long after: at once
  tester.report(u64{4095});
  EXPECT_EQ(summaries(console.take()), 1);
  now = 2001;  // the program's summary line shows it regardless
  watch.printSummary();
  EXPECT_EQ(summaries(console.take()), 1);
}

// A summary held back for its minute waits for the step between tests; the
// progress line shows only its own periodic ones.
TEST_F(WatchTest, HeldBackSummariesWaitForTheStepAndTheProgressLineForNone) {
  ProgressLine progress(
      tester.errorCount, [this] { return now; }, &watch);
  a[0] = 1;
  tester.report(u64{0});
  now = 1010;
  a[2048] = 1;
  tester.report(u64{2048});  // held back
  console.take();
  EXPECT_TRUE(watch.betweenTests());
  EXPECT_EQ(summaries(console.take()), 0);
  now = 1070;
  progress.printStats(3.0f, 2, '#');
  EXPECT_EQ(summaries(console.take()), 0);
  EXPECT_TRUE(watch.betweenTests());
  EXPECT_EQ(summaries(console.take()), 1);

  // Every tenth turn, from the sixth (the first call was a turn): the
  // summary line, then this one.
  for (int hundred = 1; hundred <= 5; ++hundred) {
    progress.printStats(hundred * 100.0f - 50.0f, 2, '#');
    progress.printStats(hundred * 100.0f, 2, '#');
  }
  const std::string sixth = console.take();
  ASSERT_EQ(summaries(sixth), 1) << sixth;
  EXPECT_LT(sixth.find("Summary: tested for"), sixth.find("Bad memory:"));
}

}  // namespace
