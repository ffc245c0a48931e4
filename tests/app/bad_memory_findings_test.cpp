#include "app/bad_memory_findings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "badmem/summary_text.h"
#include "tests/support/console_capture.h"
#include "tests/support/fixed_addresses.h"

namespace {

ReportedPair pair(u64 index, u64 address) {
  return ReportedPair{index, index, 0xf0, 0xf4, address, kUnknownAddress};
}

class BadMemoryFindingsTest : public ::testing::Test {
 protected:
  BadMemory record;
  FixedAddresses addresses;
  BadMemoryWatch watch{record, addresses, [] { return time_t{0}; }};
  BadMemoryFindings findings{record, watch};
};

TEST_F(BadMemoryFindingsTest, EachErrorsDetailsGoOutWhileTheRecordKeepsThem) {
  record.recordPair(pair(7, 0x12345678));
  std::vector<Findings::Details> errors = findings.errorsFrom(0);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], (Findings::Details{{"error", "1"},
                                          {"indexA", "7"},
                                          {"indexB", "7"},
                                          {"valueA", "0xf0"},
                                          {"valueB", "0xf4"},
                                          {"addressA", "0x12345678"},
                                          {"addressB", "unknown"},
                                          {"bits", "0x4"}}));
  EXPECT_TRUE(findings.errorsFrom(1).empty());

  // A burst longer than the record's table: the newest are kept.
  const int burst = BadMemory::kKeptPairs + 8;
  for (int i = 0; i < burst; ++i) record.recordPair(pair(100 + i, 0x1000));
  errors = findings.errorsFrom(1);
  ASSERT_EQ(errors.size(), static_cast<size_t>(BadMemory::kKeptPairs));
  EXPECT_EQ(errors.front()[0].second, std::to_string(burst + 1 - 32 + 1));
  EXPECT_EQ(errors.back()[0].second, std::to_string(burst + 1));
  EXPECT_EQ(errors.back()[1].second, std::to_string(100 + burst - 1));
  EXPECT_EQ(findings.errorCount(), static_cast<u64>(burst + 1));
  EXPECT_EQ(record.pairNumber(0), nullptr);
  EXPECT_EQ(record.pairNumber(burst + 1), nullptr);
}

TEST_F(BadMemoryFindingsTest, APretestMismatchAloneFailsTheRun) {
  EXPECT_FALSE(findings.anythingFound());
  record.countPretestMismatch();
  EXPECT_TRUE(findings.anythingFound());
  EXPECT_EQ(findings.errorCount(), 0u);
}

TEST_F(BadMemoryFindingsTest, TheSummaryLinesAreTheConsolesLines) {
  record.recordPair(pair(7, 0x12345678));
  const std::vector<std::string> lines = findings.summaryLines();
  ASSERT_FALSE(lines.empty());
  ConsoleCapture console;
  findings.printSummary();
  std::string expected = "\n\r";
  for (const std::string& line : lines) expected += line + "\n\r";
  EXPECT_EQ(console.take(), expected);
}

}  // namespace
