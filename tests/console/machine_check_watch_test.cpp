#include "console/machine_check_watch.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/hex.h"
#include "machinecheck/process_physical_addresses.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_kernel.h"

namespace {

constexpr u64 kPage = FakeKernel::kPageBytes;

// The program's pieces around a machine check: the guard's log (filled here
// as the handler fills it), the report between tests, and the error lines
// of the console tester with the kernel's addresses.
class MachineCheckWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Whole pages, as the test area's are.
    area = static_cast<u32*>(mmap(nullptr, 4 * kPage, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    tester.bankA = &area[0];
    tester.bankB = &area[2 * kPage / 4];
    tester.wordsPerBank = 2 * kPage / 4;
    tester.passCount = 60;  // 3 % coverage
    for (u64 page = 0; page < 4; ++page) {
      kernel.setFrame(reinterpret_cast<char*>(&area[0]) + page * kPage,
                      0x8000 + page);
    }
    tester.watchBadMemory(&watch);
  }
  void TearDown() override { munmap(area, 4 * kPage); }

  // The handler's entry for a page of the area.
  MemoryFault lost(int page, u64 physical, bool early = false) const {
    return MemoryFault{reinterpret_cast<uintptr_t>(&area[0]) + page * kPage,
                       kPage, physical, early};
  }

  FakeKernel kernel;
  MemoryFaultLog log;
  ProcessPhysicalAddresses addresses{kernel, &log};
  BadMemory record;
  BadMemoryWatch watch{record, addresses, [] { return time_t{1000}; }};
  CellcheckerDos tester;
  MachineCheckWatch machineChecks{log, tester, record};
  u32* area = nullptr;
};

TEST_F(MachineCheckWatchTest, EachIsAnErrorWithItsAddressesAndItsPage) {
  log.add(lost(1, 0x6019000));
  ConsoleCapture console;
  machineChecks.poll();
  const std::string shown = console.take();
  const std::string virtualPage = hex(lost(1, 0).page);
  EXPECT_EQ(shown,
            "\n\rUncorrected memory error (machine check) at virtual address " +
                virtualPage +
                ", met by the program's read;\n\rthe kernel took its 4 KiB "
                "page out of use, and a fresh page in its place keeps testing "
                "going.\n\r"
                "Error 1, after  3 % coverage\n\r"
                "Physical address: 0x6019000 (page 0x6019000-0x6019fff)\n\r");
  // Its page is a suspect; the summary is the step between tests' to show.
  EXPECT_EQ(tester.errorCount, 1u);
  EXPECT_EQ(record.totals().machineChecks, 1u);
  EXPECT_EQ(record.totals().errors, 0u);
  ASSERT_EQ(record.pageCount(), 1);
  EXPECT_EQ(record.page(0).address, 0x6019000u);
  EXPECT_TRUE(record.totals().anyBad());
  // Reported once.
  EXPECT_TRUE(machineChecks.betweenTests());
  EXPECT_EQ(console.take(), "");
}

// The words on the fresh page were lost with the old one: a test that finds
// them different puts the error down to the old page.
TEST_F(MachineCheckWatchTest, ErrorsOnTheFreshPageNameTheLostPage) {
  log.add(lost(0, 0x6019000));
  ConsoleCapture console;
  machineChecks.poll();
  console.take();
  area[2 * kPage / 4 + 4] = 0x1234;  // bank B, word 4: bank A's is gone
  tester.report(4);
  const std::string shown = console.take();
  EXPECT_NE(shown.find("Physical addresses: bank A 0x6019010, bank B "
                       "0x8002010 (either could be bad)"),
            std::string::npos)
      << shown;
  EXPECT_EQ(record.page(0).address, 0x6019000u);
  EXPECT_EQ(record.page(0).timesNamed, 2u);
}

// More faults between two looks than the log keeps: those it lost are
// counted in one line, however many (a storm must not flood the console),
// and the kept ones are reported as ever.
TEST_F(MachineCheckWatchTest, FaultsTheLogLostAreCountedInOneLine) {
  struct Case {
    const char* what;
    int lost;
    const char* first;  // the lines before the kept faults'
  };
  for (Case c : {
           Case{"one lost", 1,
                "\n\rUncorrected memory error (machine check): its details "
                "were not kept.\n\rError 1, after  3 % coverage\n\r"},
           Case{"two lost", 2,
                "\n\r2 uncorrected memory errors (machine checks): their "
                "details were not kept.\n\rError 2, after  3 % coverage\n\r"},
       }) {
    SCOPED_TRACE(c.what);
    MemoryFaultLog faults;
    BadMemory bad;
    CellcheckerDos dos;
    dos.passCount = 60;
    MachineCheckWatch watching{faults, dos, bad};
    faults.add(lost(2, kUnknownAddress, true));
    for (int i = 1; i < MemoryFaultLog::kKept + c.lost; ++i) {
      faults.add(lost(3, 0x7000000));
    }
    ConsoleCapture console;
    watching.poll();
    const std::string shown = console.take();
    const std::string kept =
        "\n\rUncorrected memory error (machine check) at virtual address " +
        hex(lost(3, 0).page) +
        ", met by the program's read;\n\rthe kernel took its 4 KiB page out "
        "of use, and a fresh page in its place keeps testing going.\n\r"
        "Error " +
        std::to_string(c.lost + 1) +
        ", after  3 % coverage\n\rPhysical address: 0x7000000 (page "
        "0x7000000-0x7000fff)\n\r";
    EXPECT_EQ(shown.substr(0, strlen(c.first) + kept.size()), c.first + kept);
    const u64 all = static_cast<u64>(MemoryFaultLog::kKept + c.lost);
    EXPECT_EQ(dos.errorCount, all);
    EXPECT_EQ(bad.totals().machineChecks, all);
    EXPECT_EQ(bad.totals().unknownAddresses, static_cast<u64>(c.lost));
  }
}

TEST_F(MachineCheckWatchTest, AStormBetweenTwoLooksTakesNoMoreLinesThanTheLog) {
  constexpr int kStorm = 10000;
  for (int i = 0; i < kStorm; ++i) log.add(lost(i % 4, 0x7000000 + i * kPage));
  ConsoleCapture console;
  machineChecks.poll();
  const std::string shown = console.take();
  size_t lines = 0;
  for (size_t at = 0; (at = shown.find("\n\r", at)) != std::string::npos;
       at += 2) {
    ++lines;
  }
  // Five line breaks for each kept fault, three for the rest together.
  EXPECT_EQ(lines, static_cast<size_t>(MemoryFaultLog::kKept) * 5 + 3);
  EXPECT_EQ(shown.find(std::to_string(kStorm - MemoryFaultLog::kKept) +
                       " uncorrected memory errors (machine checks): their "
                       "details were not kept.\n\rError " +
                       std::to_string(kStorm - MemoryFaultLog::kKept) +
                       ", after  3 % coverage\n\r"),
            2u)
      << shown.substr(0, 300);
  EXPECT_EQ(tester.errorCount, static_cast<u32>(kStorm));
  EXPECT_EQ(record.totals().machineChecks, static_cast<u64>(kStorm));
  // Reported once.
  machineChecks.poll();
  EXPECT_EQ(console.take(), "");
}

TEST_F(MachineCheckWatchTest,
       OneFoundEarlySaysSoAndAnUnknownFrameIsNotGuessed) {
  log.add(lost(2, kUnknownAddress, true));
  ConsoleCapture console;
  machineChecks.poll();
  const std::string shown = console.take();
  EXPECT_NE(shown.find(", found by the hardware before the program read it;"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("Error 1, after  3 % coverage\n\rPhysical address "
                       "unknown\n\r"),
            std::string::npos)
      << shown;
}

}  // namespace
