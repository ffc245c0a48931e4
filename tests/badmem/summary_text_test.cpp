#include "badmem/summary_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr u64 kPage = BadMemory::kPageBytes;
constexpr u64 kGiB = u64{1} << 30;

class Lines : public LineSink {
 public:
  void line(const char* text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

std::string linux(const BadMemory& record) {
  char text[kReadyLineBytes];
  linuxReadyLine(record, text, sizeof text);
  return text;
}

std::string windows(const BadMemory& record, u64* pages = nullptr) {
  char text[kReadyLineBytes];
  const u64 n = windowsReadyLine(record, text, sizeof text);
  if (pages != nullptr) *pages = n;
  return text;
}

TEST(ReadyLinesTest, ReserveExactlyTheRangesInTheLargestWholeUnit) {
  struct Case {
    const char* name;
    std::vector<PhysicalRange> ranges;
    const char* memmap;
    const char* pageList;
  };
  for (const Case& c : std::vector<Case>{
           {"nothing known", {}, "", ""},
           {"one page",
            {{0x1234'5000, 0x1234'6000}},
            "memmap=4K$0x12345000",
            "bcdedit /set {badmemory} badmemorylist 0x12345"},
           {"two pages apart",
            {{0x1234'5000, 0x1234'6000}, {0x9'2345'6000, 0x9'2345'7000}},
            "memmap=4K$0x12345000 memmap=4K$0x923456000",
            "bcdedit /set {badmemory} badmemorylist 0x12345 0x923456"},
           {"neighbours as one range",
            {{0x7000, 0x8000}, {0x8000, 0x9000}},
            "memmap=8K$0x7000",
            "bcdedit /set {badmemory} badmemorylist 0x7 0x8"},
           {"whole MiB and GiB",
            {{0x4000'0000, 0x4020'0000}, {4 * kGiB, 5 * kGiB + 0}},
            "memmap=2M$0x40000000 memmap=1G$0x100000000",
            nullptr},
           {"a MiB and a page",
            {{0x10'0000, 0x20'1000}},
            "memmap=1028K$0x100000",
            nullptr},
       }) {
    BadMemory record;
    for (PhysicalRange range : c.ranges) record.recordExternalRange(range);
    EXPECT_EQ(linux(record), c.memmap) << c.name;
    if (c.pageList != nullptr) {
      EXPECT_EQ(windows(record), c.pageList) << c.name;
    }
  }
}

TEST(ReadyLinesTest, PastFourRangesTheSmallestGapsAreBridged) {
  struct Case {
    const char* name;
    std::vector<u64> pages;
    const char* memmap;
  };
  for (const Case& c : std::vector<Case>{
           {"four stay four",
            {0x10000, 0x20000, 0x30000, 0x40000},
            "memmap=4K$0x10000 memmap=4K$0x20000 memmap=4K$0x30000 "
            "memmap=4K$0x40000"},
           // Gaps 60K, 4K, 60K, 60K: the 4K gap goes.
           {"five: the nearest two merge",
            {0x10000, 0x20000, 0x22000, 0x32000, 0x42000},
            "memmap=4K$0x10000 memmap=12K$0x20000 memmap=4K$0x32000 "
            "memmap=4K$0x42000"},
           // The nearest pair comes last.
           {"five: the last two merge",
            {0x100000, 0x200000, 0x300000, 0x400000, 0x402000},
            "memmap=4K$0x100000 memmap=4K$0x200000 memmap=4K$0x300000 "
            "memmap=12K$0x400000"},
           // Six ranges: the two smallest gaps go, wherever they are.
           {"six",
            {0x1000, 0x3000, 0x100000, 0x200000, 0x300000, 0x302000},
            "memmap=12K$0x1000 memmap=4K$0x100000 memmap=4K$0x200000 "
            "memmap=12K$0x300000"},
       }) {
    BadMemory record;
    for (u64 page : c.pages) record.recordExternalRange({page, page + kPage});
    EXPECT_EQ(linux(record), c.memmap) << c.name;
    // The merged ranges still hold every page.
    PhysicalRange merged[kMaxMemmapRanges];
    const int count = memmapRanges(record, merged);
    ASSERT_LE(count, kMaxMemmapRanges) << c.name;
    for (u64 page : c.pages) {
      bool held = false;
      for (int i = 0; i < count; ++i) {
        held |= merged[i].begin <= page && page + kPage <= merged[i].end;
      }
      EXPECT_TRUE(held) << c.name << " " << page;
    }
  }
}

TEST(ReadyLinesTest, TheWindowsListStopsAtItsCapAndCountsEveryPage) {
  constexpr u64 kTiB = kGiB << 10;
  struct Case {
    const char* name;
    std::vector<PhysicalRange> ranges;
    u64 pages;
    const char* firstListed;  // the first three frames
    const char* lastListed;   // the 128th frame
  };
  for (const Case& c : std::vector<Case>{
           {"one range of 200 pages",
            {{0x100000, 0x100000 + 200 * kPage}},
            200,
            " 0x100 0x101 0x102",
            " 0x17f"},
           {"the cap reached in the second range",
            {{0x100000, 0x100000 + 100 * kPage}, {0x800000, 0x900000}},
            356,
            " 0x100 0x101 0x102",
            " 0x81b"},
           // The early check can name ranges this large: counted, never
           // walked page by page.
           {"16 TiB from the early check",
            {{kGiB, kGiB + 16 * kTiB}},
            16 * kTiB / kPage,
            " 0x40000 0x40001 0x40002",
            " 0x4007f"},
           {"the top of the physical address space",
            {{0x10000, 0x11000}, {(u64{1} << 52) - 4 * kTiB, u64{1} << 52}},
            1 + 4 * kTiB / kPage,
            " 0x10 0xffc0000000 0xffc0000001",
            " 0xffc000007e"},
       }) {
    BadMemory record;
    for (PhysicalRange range : c.ranges) record.recordExternalRange(range);
    u64 pages = 0;
    const std::string list = windows(record, &pages);
    EXPECT_EQ(pages, c.pages) << c.name;
    EXPECT_EQ(list.find(std::string("badmemorylist") + c.firstListed), 25u)
        << c.name << ": " << list;
    // 128 frames listed, the last of them the 128th.
    size_t listed = 0;
    for (size_t at = 0; (at = list.find(" 0x", at)) != std::string::npos;) {
      ++listed;
      ++at;
    }
    EXPECT_EQ(listed, static_cast<size_t>(kMaxWindowsPages)) << c.name;
    EXPECT_EQ(list.substr(list.rfind(' ')), c.lastListed) << c.name;
  }
}

// A summary for these pairs, with the pages at fixed addresses.
std::vector<std::string> summaryOf(const std::vector<ReportedPair>& pairs) {
  BadMemory record;
  for (const ReportedPair& pair : pairs) record.recordPair(pair);
  Lines out;
  renderSummary(record, out);
  return out.lines;
}

ReportedPair pair(u64 a, u64 b, u32 diff) {
  return ReportedPair{0, 0, diff, 0, a, b};
}

TEST(SummaryTest, NothingBadIsOneLine) {
  EXPECT_EQ(summaryOf({}),
            std::vector<std::string>{"Bad memory: none found so far."});
}

TEST(SummaryTest, AWeakCellNamedThreeTimes) {
  const u64 cell = 0x1'2345'6788;
  const std::vector<std::string> lines = summaryOf(
      {pair(cell, 0x2'0000'0788, 0x400), pair(cell, 0x2'0000'1788, 0x400),
       pair(cell, 0x2'0000'0788, 0x400)});
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Bad memory: 3 errors named 3 suspect pages; 0 pre-test "
                       "mismatches; 0 ranges from the kernel's early check",
                       "Suspect pages, most named first: 0x123456000 (3 "
                       "times), 0x200000000 (2 times), 0x200001000 (1 time)",
                       "Suspect ranges: 0x123456000-0x123456fff, "
                       "0x200000000-0x200001fff",
                       "Bits that differed: 0x00000400 = bit 10 (3 times); one "
                       "bit in one page: likely a single weak cell",
                       "Keep Linux off them, on its kernel command line (in "
                       "GRUB's config write each $ as \\$): "
                       "memmap=4K$0x123456000 memmap=8K$0x200000000",
                       "Keep Windows off them, as administrator: bcdedit /set "
                       "{badmemory} badmemorylist 0x123456 0x200000 0x200001",
                   }));
}

// Errors of one word (a test that knew what it should hold) name its page
// alone: one suspect page for the ready lines, not the partner's too.
TEST(SummaryTest, OneWordReadTwiceWrongIsOneSuspectPage) {
  ReportedPair word{9, 9, 0x00, 0x400, kUnknownAddress, 0x2'0000'0788};
  word.suspect = ReportedPair::Suspect::kWordB;
  EXPECT_EQ(summaryOf({word, word}),
            (std::vector<std::string>{
                "Bad memory: 2 errors named 1 suspect page; 0 pre-test "
                "mismatches; 0 ranges from the kernel's early check",
                "Suspect pages, most named first: 0x200000000 (2 times)",
                "Suspect ranges: 0x200000000-0x200000fff",
                "Bits that differed: 0x00000400 = bit 10 (2 times); one "
                "bit in one page: likely a single weak cell",
                "Keep Linux off them, on its kernel command line (in "
                "GRUB's config write each $ as \\$): memmap=4K$0x200000000",
                "Keep Windows off them, as administrator: bcdedit /set "
                "{badmemory} badmemorylist 0x200000",
            }));
}

TEST(SummaryTest, TheBitsAndPagesSuggestACause) {
  struct Case {
    const char* name;
    std::vector<ReportedPair> pairs;
    const char* bitLine;
  };
  for (const Case& c : std::vector<Case>{
           {"several bits in one page",
            {pair(0x5000, 0x9000, 0x3), pair(0x5008, 0xa000, 0x4)},
            "Bits that differed: 0x00000007 = bit 2 (1 time), bit 1 (1 time), "
            "bit 0 (1 time); several bits in one page: likely a row or a chip"},
           {"one bit in many pages",
            {pair(0x5000, 0x9000, 0x10), pair(0x7000, 0xa000, 0x10)},
            "Bits that differed: 0x00000010 = bit 4 (2 times); the same bit in "
            "many pages: likely a data line"},
           {"spread out",
            {pair(0x5000, 0x9000, 0x10), pair(0x7000, 0xa000, 0x1)},
            "Bits that differed: 0x00000011 = bit 4 (1 time), bit 0 (1 time); "
            "several bits in several pages: likely a module, its seating or "
            "its "
            "settings"},
           {"no address known",
            {pair(kUnknownAddress, kUnknownAddress, 0x80000000)},
            "Bits that differed: 0x80000000 = bit 31 (1 time); always the same "
            "bit"},
       }) {
    const std::vector<std::string> lines = summaryOf(c.pairs);
    bool found = false;
    for (const std::string& line : lines) found |= line == c.bitLine;
    EXPECT_TRUE(found) << c.name << ": " << ::testing::PrintToString(lines);
  }
}

TEST(SummaryTest, CountsWhatHasNoAddressOrNoRoomAndSaysRangesWereMerged) {
  BadMemory record;
  record.countPretestMismatch();
  record.recordPair(pair(kUnknownAddress, kUnknownAddress, 1));
  for (int i = 0; i < 6; ++i) {
    record.recordExternalRange({u64(i) * 0x100000, u64(i) * 0x100000 + kPage});
  }
  Lines out;
  renderSummary(record, out);
  ASSERT_EQ(out.lines.size(), 5u) << ::testing::PrintToString(out.lines);
  EXPECT_EQ(out.lines[0],
            "Bad memory: 1 error named 0 suspect pages; 1 pre-test mismatch; 6 "
            "ranges from the kernel's early check; 2 words without a physical "
            "address");
  EXPECT_EQ(out.lines[1].find("Suspect ranges: 0x0-0xfff, 0x100000-0x100fff"),
            0u);
  EXPECT_NE(out.lines[3].find(
                "(6 ranges merged into 4: the kernel places itself around at "
                "most 4)"),
            std::string::npos)
      << out.lines[3];
}

TEST(SummaryTest, OnlyPreTestMismatchesShowNoReadyLines) {
  BadMemory record;
  record.countPretestMismatch();
  Lines out;
  renderSummary(record, out);
  EXPECT_EQ(out.lines,
            std::vector<std::string>{
                "Bad memory: 0 errors named 0 suspect pages; 1 "
                "pre-test mismatch; 0 ranges from the kernel's early "
                "check"});
}

TEST(SummaryTest, MachineChecksAndEccCountsJoinTheCountsAndTheirOwnLine) {
  BadMemory record;
  record.recordMachineCheck(0x6019'000);
  record.recordEccErrors("A1 (mc0: channel 0 slot 0)", 5, 0);
  record.recordEccErrors("B1 (mc1: channel 1 slot 0)", 0, 1);
  Lines out;
  renderSummary(record, out);
  EXPECT_EQ(
      out.lines,
      (std::vector<std::string>{
          "Bad memory: 0 errors named 1 suspect page; 0 pre-test "
          "mismatches; 0 ranges from the kernel's early check; 1 "
          "uncorrected error caught by a machine check; 5 corrected and 1 "
          "uncorrected errors counted by the memory controllers (ECC)",
          "Suspect pages, most named first: 0x6019000 (1 time)",
          "Suspect ranges: 0x6019000-0x6019fff",
          "ECC errors by memory module: A1 (mc0: channel 0 slot 0): 5 "
          "corrected, 0 uncorrected; B1 (mc1: channel 1 slot 0): 0 "
          "corrected, 1 uncorrected",
          "Keep Linux off them, on its kernel command line (in GRUB's "
          "config write each $ as \\$): memmap=4K$0x6019000",
          "Keep Windows off them, as administrator: bcdedit /set "
          "{badmemory} badmemorylist 0x6019",
      }));
}

// Errors on a page replaced after a machine check are put down to it: one
// page, as for a weak cell.
TEST(SummaryTest, ErrorsOnAReplacedPageReadAsThatPage) {
  BadMemory record;
  record.recordMachineCheck(0x6019'000);
  record.recordPair(pair(0x6019'010, 0x8019'010, 0x400));
  Lines out;
  renderSummary(record, out);
  ASSERT_GE(out.lines.size(), 4u);
  EXPECT_EQ(out.lines[1],
            "Suspect pages, most named first: 0x6019000 (2 times), 0x8019000 "
            "(1 time)");
  EXPECT_EQ(out.lines[3],
            "Bits that differed: 0x00000400 = bit 10 (1 time); one bit in one "
            "page: likely a single weak cell");
}

}  // namespace
