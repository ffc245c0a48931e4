#include "run/findings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/bad_memory_watch.h"
#include "tests/support/console_capture.h"
#include "tests/support/fixed_addresses.h"

namespace {

ReportedPair pair(u64 index, u64 address) {
  return ReportedPair{index, index, 0xf0, 0xf4, address, kUnknownAddress};
}

class FindingsTest : public ::testing::Test {
 protected:
  BadMemory record;
  FixedAddresses addresses;
  BadMemoryWatch watch{record, addresses, [] { return time_t{0}; }};
  MemoryFaultLog faults;
  Findings findings{record, &faults};
};

TEST_F(FindingsTest, EachErrorIsFoundWhileTheRecordKeepsIt) {
  record.recordPair(pair(7, 0x12345678));
  std::vector<FoundError> errors = findings.errorsFrom(0);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number, 1u);
  EXPECT_EQ(errors[0].pair.indexA, 7u);
  EXPECT_EQ(errors[0].pair.addressA, 0x12345678u);
  EXPECT_EQ(errors[0].pair.addressB, kUnknownAddress);
  EXPECT_TRUE(findings.errorsFrom(1).empty());

  // A burst longer than the record's table: the newest are kept.
  const int burst = BadMemory::kKeptPairs + 8;
  for (int i = 0; i < burst; ++i) record.recordPair(pair(100 + i, 0x1000));
  errors = findings.errorsFrom(1);
  ASSERT_EQ(errors.size(), static_cast<size_t>(BadMemory::kKeptPairs));
  EXPECT_EQ(errors.front().number, static_cast<u64>(burst + 1 - 32 + 1));
  EXPECT_EQ(errors.back().number, static_cast<u64>(burst + 1));
  EXPECT_EQ(errors.back().pair.indexA, static_cast<u64>(100 + burst - 1));
  EXPECT_EQ(findings.totals().errors, static_cast<u64>(burst + 1));
}

TEST_F(FindingsTest, APretestMismatchAloneFailsTheRun) {
  EXPECT_FALSE(findings.totals().anyBad());
  record.countPretestMismatch();
  EXPECT_TRUE(findings.totals().anyBad());
  EXPECT_EQ(findings.totals().errors, 0u);
}

// The record counts the machine checks reported; the guard's log holds
// their details as long as it keeps them.
TEST_F(FindingsTest, MachineChecksComeWithTheDetailsTheLogStillKeeps) {
  const u64 total = MemoryFaultLog::kKept + 2;
  for (u64 n = 0; n < total; ++n) {
    faults.add(MemoryFault{0x7f0000000000 + n * 4096, 4096,
                           n == 1 ? kUnknownAddress : 0x6019000 + n * 4096,
                           n == 1});
    record.recordMachineCheck(0x6019000 + n * 4096);
  }
  EXPECT_EQ(findings.totals().machineChecks, total);
  const std::vector<FoundMachineCheck> kept = findings.machineChecksFrom(0);
  ASSERT_EQ(kept.size(), static_cast<size_t>(MemoryFaultLog::kKept));
  EXPECT_EQ(kept.front().number, 3u);
  EXPECT_EQ(kept.back().number, total);
  EXPECT_EQ(kept.back().fault.physical, 0x6019000 + (total - 1) * 4096);

  MemoryFaultLog few;
  few.add(MemoryFault{0x7f0000000000, 4096, kUnknownAddress, true});
  BadMemory other;
  other.recordMachineCheck(kUnknownAddress);
  const Findings early(other, &few);
  const std::vector<FoundMachineCheck> one = early.machineChecksFrom(0);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].fault.physical, kUnknownAddress);
  EXPECT_TRUE(one[0].fault.foundEarly);
  EXPECT_TRUE(early.machineChecksFrom(1).empty());
}

TEST_F(FindingsTest, EccCountsArePerModuleInTheOrderFirstCounted) {
  record.recordEccErrors("B2 (mc0, channel 1 slot 0)", 1, 0);
  record.recordEccErrors("A1 (mc0, channel 0 slot 0)", 2, 1);
  record.recordEccErrors("B2 (mc0, channel 1 slot 0)", 3, 0);
  const std::vector<EccModuleErrors> modules = findings.eccModules();
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_STREQ(modules[0].module, "B2 (mc0, channel 1 slot 0)");
  EXPECT_EQ(modules[0].corrected, 4u);
  EXPECT_EQ(modules[1].uncorrected, 1u);
  EXPECT_EQ(findings.totals().eccCorrected, 6u);
}

TEST_F(FindingsTest, TheSummaryLinesAreTheConsolesLines) {
  record.recordPair(pair(7, 0x12345678));
  const std::vector<std::string> lines = findings.summaryLines();
  ASSERT_FALSE(lines.empty());
  ConsoleCapture console;
  watch.printSummary();
  std::string expected = "\n\r";
  for (const std::string& line : lines) expected += line + "\n\r";
  EXPECT_EQ(console.take(), expected);
}

}  // namespace
