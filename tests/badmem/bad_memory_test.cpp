#include "badmem/bad_memory.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr u64 kPage = BadMemory::kPageBytes;

// A pair in two distant pages: bank A at `a`, bank B at `b`.
ReportedPair pairAt(u64 a, u64 b, u32 valueA = 1, u32 valueB = 0) {
  return ReportedPair{0, 0, valueA, valueB, a, b};
}

std::vector<std::pair<u64, u64>> rangesOf(const BadMemory& record) {
  std::vector<std::pair<u64, u64>> ranges;
  for (int i = 0; i < record.rangeCount(); ++i) {
    ranges.emplace_back(record.range(i).begin, record.range(i).end);
  }
  return ranges;
}

std::vector<std::pair<u64, u64>> pagesOf(const BadMemory& record) {
  std::vector<std::pair<u64, u64>> pages;
  for (int i = 0; i < record.pageCount(); ++i) {
    pages.emplace_back(record.page(i).address, record.page(i).timesNamed);
  }
  return pages;
}

TEST(BadMemoryTest, BothWordsOfAPairAreSuspectsCountedPerPage) {
  BadMemory record;
  record.recordPair(pairAt(0x5000'0124, 0x1000'0124));
  record.recordPair(pairAt(0x5000'0ffc, 0x1000'2000));
  record.recordPair(pairAt(0x5000'0000, kUnknownAddress));
  // Sorted by address; the page at 0x50000000 named three times.
  EXPECT_EQ(pagesOf(record),
            (std::vector<std::pair<u64, u64>>{
                {0x1000'0000, 1}, {0x1000'2000, 1}, {0x5000'0000, 3}}));
  const BadMemoryTotals totals = record.totals();
  EXPECT_EQ(totals.errors, 3u);
  EXPECT_EQ(totals.suspectPages, 3u);
  EXPECT_EQ(totals.unknownAddresses, 1u);
  EXPECT_TRUE(totals.anyBad());
}

// A test that knew what a word should hold names that word alone: the
// other bank's side of the record holds the value expected and no place, and
// is neither a suspect nor a word without an address.
TEST(BadMemoryTest, AOneWordErrorNamesOnlyItsWordsPage) {
  struct Case {
    const char* name;
    ReportedPair error;
    std::vector<std::pair<u64, u64>> pages;
    u64 unknown;
  };
  ReportedPair wordA{3, 3, 0x10, 0x00, 0x5000'0124, kUnknownAddress};
  wordA.suspect = ReportedPair::Suspect::kWordA;
  ReportedPair wordB{3, 3, 0x00, 0x10, kUnknownAddress, 0x1000'0124};
  wordB.suspect = ReportedPair::Suspect::kWordB;
  // One word whose address was not learnt is counted as such, once.
  ReportedPair lost = wordB;
  lost.addressB = kUnknownAddress;
  for (const Case& c : std::vector<Case>{
           {"pair",
            pairAt(0x5000'0124, 0x1000'0124, 0x10, 0x00),
            {{0x1000'0000, 1}, {0x5000'0000, 1}},
            0},
           {"word of bank A", wordA, {{0x5000'0000, 1}}, 0},
           {"word of bank B", wordB, {{0x1000'0000, 1}}, 0},
           {"word without an address", lost, {}, 1},
       }) {
    BadMemory record;
    record.recordPair(c.error);
    EXPECT_EQ(pagesOf(record), c.pages) << c.name;
    const BadMemoryTotals totals = record.totals();
    EXPECT_EQ(totals.errors, 1u) << c.name;
    EXPECT_EQ(totals.unknownAddresses, c.unknown) << c.name;
    EXPECT_EQ(totals.bitsDiffered, 0x10u) << c.name;
    EXPECT_TRUE(totals.anyBad()) << c.name;
    EXPECT_NE(record.growth(), 0u) << c.name;
  }
}

TEST(BadMemoryTest, PagesMergeIntoRangesAsTheyCome) {
  struct Case {
    const char* name;
    std::vector<u64> pages;  // named in this order
    std::vector<std::pair<u64, u64>> ranges;
  };
  for (const Case& c : std::vector<Case>{
           {"one page", {0x7000}, {{0x7000, 0x8000}}},
           {"neighbours join", {0x7000, 0x8000}, {{0x7000, 0x9000}}},
           {"a gap stays",
            {0x7000, 0x9000},
            {{0x7000, 0x8000}, {0x9000, 0xa000}}},
           {"the page between joins both",
            {0x9000, 0x7000, 0x8000},
            {{0x7000, 0xa000}}},
           {"the same page twice", {0x7000, 0x7000}, {{0x7000, 0x8000}}},
           {"out of order",
            {0x20000, 0x3000, 0x10000},
            {{0x3000, 0x4000}, {0x10000, 0x11000}, {0x20000, 0x21000}}},
       }) {
    BadMemory record;
    for (u64 page : c.pages)
      record.recordPair(pairAt(page + 8, kUnknownAddress));
    EXPECT_EQ(rangesOf(record), c.ranges) << c.name;
  }
}

TEST(BadMemoryTest, ExternalRangesWidenToWholePagesAndMerge) {
  BadMemory record;
  record.recordExternalRange(PhysicalRange{0x12345008, 0x12345010});
  EXPECT_EQ(rangesOf(record),
            (std::vector<std::pair<u64, u64>>{{0x12345000, 0x12346000}}));
  // Across a page boundary: both pages; touching the first range: merged.
  record.recordExternalRange(PhysicalRange{0x12346ff8, 0x12347008});
  EXPECT_EQ(rangesOf(record),
            (std::vector<std::pair<u64, u64>>{{0x12345000, 0x12348000}}));
  record.recordExternalRange(PhysicalRange{0x5, 0x5});  // empty: ignored
  EXPECT_EQ(record.totals().externalRanges, 2u);
  EXPECT_EQ(record.totals().errors, 0u);
  EXPECT_TRUE(record.totals().anyBad());
}

TEST(BadMemoryTest, DifferingBitsAreOredAndCountedPerBit) {
  BadMemory record;
  record.recordPair(pairAt(0x1000, 0x9000, 0x00000401, 0x00000000));
  record.recordPair(pairAt(0x1000, 0x9000, 0xffff0000, 0xffff0400));
  record.recordPair(pairAt(0x1000, 0x9000, 0x80000000, 0x00000000));
  EXPECT_EQ(record.totals().bitsDiffered, 0x80000401u);
  EXPECT_EQ(record.bitCount(0), 1u);
  EXPECT_EQ(record.bitCount(10), 2u);
  EXPECT_EQ(record.bitCount(31), 1u);
  EXPECT_EQ(record.bitCount(5), 0u);
}

TEST(BadMemoryTest, PagesPastTheTableAreCountedAndStillFencedOff) {
  BadMemory record;
  // Every other page, so that no two merge.
  for (int i = 0; i < BadMemory::kMaxPages + 3; ++i) {
    record.recordPair(pairAt(u64(i) * 2 * kPage, kUnknownAddress));
  }
  const BadMemoryTotals totals = record.totals();
  EXPECT_EQ(totals.suspectPages, u64(BadMemory::kMaxPages));
  EXPECT_EQ(totals.pageNamesNotKept, 3u);
  // The ranges still cover every page named, the last ones included.
  const u64 last = u64(BadMemory::kMaxPages + 2) * 2 * kPage;
  ASSERT_EQ(record.rangeCount(), BadMemory::kMaxRanges);
  EXPECT_EQ(record.range(record.rangeCount() - 1).end, last + kPage);
  EXPECT_EQ(record.range(0).begin, 0u);
  EXPECT_GT(totals.rangesWidened, 0u);
}

TEST(BadMemoryTest, AFullRangeTableBridgesItsSmallestGap) {
  BadMemory record;
  // Ranges 16 pages apart, except one pair only 2 pages apart.
  std::vector<u64> pages;
  for (int i = 0; i < BadMemory::kMaxRanges; ++i) {
    pages.push_back(u64(i) * 16 * kPage);
  }
  const u64 close = 100 * 16 * kPage + 2 * kPage;
  for (u64 page : pages) record.recordExternalRange({page, page + kPage});
  ASSERT_EQ(record.rangeCount(), BadMemory::kMaxRanges);
  record.recordExternalRange({close, close + kPage});
  EXPECT_EQ(record.rangeCount(), BadMemory::kMaxRanges);
  EXPECT_EQ(record.totals().rangesWidened, 1u);
  // Range 100 now reaches over the gap to the new page; nothing else moved.
  EXPECT_EQ(record.range(100).begin, 100 * 16 * kPage);
  EXPECT_EQ(record.range(100).end, close + kPage);
  EXPECT_EQ(record.range(101).begin, 101 * 16 * kPage);
}

TEST(BadMemoryTest, GrowthRisesOnlyWithNews) {
  struct Step {
    const char* what;
    ReportedPair pair;
    bool grows;
  };
  BadMemory record;
  u64 growth = record.growth();
  for (const Step& s : std::vector<Step>{
           {"the first error, even without an address",
            pairAt(kUnknownAddress, kUnknownAddress, 1, 0), true},
           {"the same bit, no address",
            pairAt(kUnknownAddress, kUnknownAddress, 1, 0), false},
           {"new pages", pairAt(0x1000, 0x9000, 1, 0), true},
           {"the same pages and bit", pairAt(0x1004, 0x9008, 1, 0), false},
           {"a new bit", pairAt(0x1004, 0x9008, 2, 0), true},
           {"a new page in bank B", pairAt(0x1004, 0xa000, 2, 0), true},
       }) {
    record.recordPair(s.pair);
    EXPECT_EQ(record.growth() != growth, s.grows) << s.what;
    growth = record.growth();
  }
  record.countPretestMismatch();
  EXPECT_NE(record.growth(), growth) << "the first pre-test mismatch";
  growth = record.growth();
  record.countPretestMismatch();
  EXPECT_EQ(record.growth(), growth) << "a second one";
  EXPECT_EQ(record.totals().pretestMismatches, 2u);
}

TEST(BadMemoryTest, NothingRecordedIsNotBad) {
  BadMemory record;
  EXPECT_FALSE(record.totals().anyBad());
  record.countPretestMismatch();
  EXPECT_TRUE(record.totals().anyBad());
}

// The one sum of findings that every verdict, report and beep reads: each
// kind alone counts in it, and each new one makes it grow, so that nothing
// found passes anywhere.
TEST(BadMemoryTest, EveryKindOfFindingCountsInTheOneSum) {
  struct Case {
    const char* name;
    void (*find)(BadMemory&);
  };
  for (const Case& c : {
           Case{"an error",
                [](BadMemory& r) { r.recordPair(pairAt(0x6000, 0x9000)); }},
           Case{"a pre-test mismatch",
                [](BadMemory& r) { r.countPretestMismatch(); }},
           Case{"an early-check range",
                [](BadMemory& r) {
                  const u64 at = (r.totals().externalRanges + 1) * 4 * kPage;
                  r.recordExternalRange(PhysicalRange{at, at + kPage});
                }},
           Case{"a machine check",
                [](BadMemory& r) { r.recordMachineCheck(0x7000); }},
           Case{"a corrected ECC error",
                [](BadMemory& r) { r.recordEccErrors("A1", 1, 0); }},
           Case{"an uncorrected ECC error",
                [](BadMemory& r) { r.recordEccErrors("A1", 0, 1); }},
       }) {
    SCOPED_TRACE(c.name);
    BadMemory record;
    EXPECT_EQ(record.totals().findings(), 0u);
    c.find(record);
    EXPECT_EQ(record.totals().findings(), 1u);
    EXPECT_TRUE(record.totals().anyBad());
    c.find(record);
    EXPECT_EQ(record.totals().findings(), 2u);
  }
}

// A machine check's page is a suspect like an error's, and a later error on
// it (the fresh page stands for the lost one) is counted under it.
TEST(BadMemoryTest, AMachineCheckNamesItsPageAndFailsTheRun) {
  BadMemory record;
  u64 growth = record.growth();
  record.recordMachineCheck(0x6019'780);
  EXPECT_NE(record.growth(), growth);
  record.recordMachineCheck(kUnknownAddress);
  record.recordPair(pairAt(0x6019'008, 0x1000'0008));
  EXPECT_EQ(pagesOf(record), (std::vector<std::pair<u64, u64>>{
                                 {0x6019'000, 2}, {0x1000'0000, 1}}));
  const BadMemoryTotals totals = record.totals();
  EXPECT_EQ(totals.machineChecks, 2u);
  EXPECT_EQ(totals.errors, 1u);
  EXPECT_EQ(totals.unknownAddresses, 1u);
  EXPECT_TRUE(totals.anyBad());
  EXPECT_EQ(rangesOf(record),
            (std::vector<std::pair<u64, u64>>{{0x6019'000, 0x601a'000},
                                              {0x1000'0000, 0x1000'1000}}));
}

TEST(BadMemoryTest, EccCountsAddUpPerModuleAndPastTheTable) {
  BadMemory record;
  u64 growth = record.growth();
  record.recordEccErrors("A1 (mc0: channel 0 slot 0)", 0, 0);
  EXPECT_EQ(record.growth(), growth) << "nothing counted is no news";
  EXPECT_FALSE(record.totals().anyBad());
  record.recordEccErrors("A1 (mc0: channel 0 slot 0)", 3, 0);
  record.recordEccErrors("B1 (mc1: channel 0 slot 0)", 0, 1);
  record.recordEccErrors("A1 (mc0: channel 0 slot 0)", 2, 0);
  EXPECT_NE(record.growth(), growth);
  ASSERT_EQ(record.eccModuleCount(), 2);
  EXPECT_STREQ(record.eccModule(0).module, "A1 (mc0: channel 0 slot 0)");
  EXPECT_EQ(record.eccModule(0).corrected, 5u);
  EXPECT_EQ(record.eccModule(1).uncorrected, 1u);
  for (int i = 0; i < BadMemory::kMaxEccModules; ++i) {
    record.recordEccErrors(("module " + std::to_string(i)).c_str(), 1, 0);
  }
  EXPECT_EQ(record.eccModuleCount(), BadMemory::kMaxEccModules);
  const BadMemoryTotals totals = record.totals();
  EXPECT_EQ(totals.eccCorrected, 5u + BadMemory::kMaxEccModules);
  EXPECT_EQ(totals.eccUncorrected, 1u);
  EXPECT_TRUE(totals.anyBad());
  EXPECT_EQ(totals.errors, 0u);
}

}  // namespace
