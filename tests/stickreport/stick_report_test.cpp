// The report on the boot stick as the step between tests drives it, on a
// temporary folder that stands for the report partition: when it is
// written, what the pair of files holds, its size cap, and a write that
// fails.
#include "stickreport/stick_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "base/console_ring.h"
#include "base/cprintf.h"
#include "base/small_file.h"
#include "console/cellchecker_dos.h"
#include "stickreport/history_file.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fixed_addresses.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr time_t kBoot = 1796916612;  // 2026-12-10 15:30:12
constexpr char kMark[] = "5e1f";
constexpr char kBase[] = "CC-0042_2026-12-10_15-30-12";

// The schedule's figures as the report reads them.
struct FixedSchedule : ScheduleFigures {
  double secondsToFullCoverage() const override { return 0; }
  int summariesShown() const override { return summaries; }
  int summaries = 0;
};

class StickReportTest : public testing::Test {
 protected:
  StickReportTest() {
    kernel.imageInit = true;
    kernel.seconds = kBoot;
    kernel.putFile("/proc/cmdline", "BOOT_IMAGE=(hd0)/boot/vmlinuz\n");
    kernel.putFile("/proc/sys/kernel/osrelease", "6.12.0-test\n");
    kernel.putFile("/sys/class/dmi/id/product_serial", "CC-0042\n");
    kernel.putFile("/proc/iomem",
                   "00001000-0009efff : System RAM\n"
                   "00100000-3ffdffff : System RAM\n"
                   "  01000000-01ffffff : Kernel code\n");
    folder.write("image/etc/cellcheck-build", std::string(kMark) + "\n");
    folder.write("image/lib/modules/6.12.0-test/modules.dep",
                 "kernel/fs/fat/vfat.ko.xz:\n");
    folder.write("image/lib/modules/6.12.0-test/kernel/fs/fat/vfat.ko.xz", "");
    folder.write(std::string("stick/") + kMarkFileName, kMark);
    kernel.disks.push_back(FakeKernel::FakePartition{
        DiskPartition{"sda3", "sda", 3}, folder.path() + "/stick", 1});
    paths.moduleRoot = folder.path() + "/image/lib/modules";
    paths.buildMark = folder.path() + "/image/etc/cellcheck-build";
    tester.wordsPerBank = 1 << 20;
    tester.passCount = 57;
    area.reset(new u32[2 * tester.wordsPerBank]);
    tester.bankA = area.get();
    tester.bankB = area.get() + tester.wordsPerBank;
    addresses.place(area.get(), 8 * tester.wordsPerBank, 0x10000000);
    // As start-up fills them.
    facts.options.any = true;
    facts.options.seconds = 60;
    facts.identity = readMachineIdentity(kernel);
    facts.installedKiB = 1024 * 1024;
    facts.areaBytes = 8 * tester.wordsPerBank;
    facts.eccLine = "ECC: no ECC reporting on this machine.";
    facts.schedule = &schedule;
    stick.reset(new BootStick(kernel, kernel, kernel, kernel, paths));
    report.reset(new StickReport(*stick, kernel, kernel, findings, tester,
                                 addresses, facts, [this] { return now; }));
  }

  // Start-up's part and the first step between tests.
  std::string prepareAndStart() {
    ConsoleCapture console;
    report->prepare();
    return console.take();
  }
  // One step between tests `seconds` after the last; what it printed.
  std::string step(time_t seconds = 0) {
    now += seconds;
    ConsoleCapture console;
    EXPECT_TRUE(report->betweenTests());
    return console.take();
  }
  int writes() const { return static_cast<int>(kernel.created.size()); }
  std::string file(const char* extension) const {
    return readSmallFile(folder.path() + "/stick/" + kBase + extension);
  }
  void error(u64 index) {
    record.recordPair(
        ReportedPair{index, index, 0xf0, 0xf0 ^ 0x2000, 0x19fd17ac, 0x98517ac});
    ++tester.errorCount;
  }

  FakeKernel kernel;
  TempFolder folder{"stick-report"};
  StickPaths paths;
  time_t now = kBoot;
  CellcheckerDos tester;
  std::unique_ptr<u32[]> area;
  BadMemory record;
  FixedAddresses addresses;
  BadMemoryWatch watch{record, addresses, [this] { return now; }};
  Findings findings{record};
  std::unique_ptr<BootStick> stick;
  std::unique_ptr<StickReport> report;
  FixedSchedule schedule;
  RunFacts facts;
  int& summaries = schedule.summaries;
};

TEST_F(StickReportTest,
       WritesAtTheStartAfterFindingsAtSummariesAndAtTheVerdict) {
  EXPECT_EQ(prepareAndStart(),
            "Reports: on the boot stick, partition 3 (CELLCHECK)\n");
  step();
  EXPECT_EQ(writes(), 2);  // the text file and the page
  EXPECT_NE(file(".txt").find("Cellcheck report: testing has just begun"),
            std::string::npos);
  report->fullTestingBegins();
  step(30);
  EXPECT_EQ(writes(), 2);  // nothing new
  error(7);
  step(5);
  EXPECT_EQ(writes(), 4);  // the first error at once
  error(8);
  step(20);
  EXPECT_EQ(writes(), 4);  // the next one waits for its minute
  step(40);
  EXPECT_EQ(writes(), 6);
  ++summaries;
  step(1);
  EXPECT_EQ(writes(), 8);  // a summary line at once
  step(StickReport::kSecondsBetweenRefreshes);
  EXPECT_EQ(writes(), 10);  // brought up to date now and then

  Verdict verdict = {};
  verdict.pass = false;
  verdict.mib = 8;
  verdict.hours = 0.03;
  verdict.coverage = 3.1;
  verdict.errors = 2;
  {
    ConsoleCapture console;
    cprintf(" VERDICT: FAIL\n\r");
    report->verdict(verdict);
    EXPECT_EQ(console.take(),
              std::string(" VERDICT: FAIL\n\rReport on the boot stick: ") +
                  kBase + ".txt and " + kBase + ".html\n\r");
  }
  EXPECT_EQ(writes(), 12);

  const std::string text = file(".txt");
  for (const std::string& wanted : std::vector<std::string>{
           "Cellcheck report: FAIL\n", "serial CC-0042",
           "Options: " + describeRunOptions(facts.options) + "\n",
           "Reports: on the boot stick, partition 3 (CELLCHECK)\n",
           " VERDICT: FAIL\n", "memmap=4K$0x9851000 memmap=4K$0x19fd1000",
           "bcdedit /set {badmemory} badmemorylist 0x9851 0x19fd1",
           "ECC: no ECC reporting on this machine.",
           "Verdict: FAIL: tested 8 MiB for 0.03 hours, 3.1 % coverage, 2 "
           "errors."}) {
    EXPECT_NE(text.find(wanted), std::string::npos) << wanted;
  }
  const std::string page = file(".html");
  for (const char* wanted :
       {"<div class=\"verdict fail\">FAIL</div>", "CC-0042", "<svg",
        "<td>0x19fd17ac</td><td>0x98517ac</td><td>0x00002000</td><td>2</td>",
        "memmap=4K$0x9851000", "</html>"}) {
    EXPECT_NE(page.find(wanted), std::string::npos) << wanted;
  }
  // Self-contained: no script, nothing fetched from elsewhere.
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("src="), std::string::npos);
  EXPECT_EQ(page.find("href="), std::string::npos);
}

// The page's tables of errors: a pair names both words' places, either of
// which could be bad; a one-word error (a test that knew what the word
// should hold) names its word, what it read and what was expected, and its
// place alone. The same error again adds to its row, which keeps the first
// one's values.
TEST_F(StickReportTest, APairRowNamesBothPlacesAOneWordRowItsWordAndValues) {
  ReportedPair wordA{12,         12,         0xf0f0f0f0 ^ 0x400,
                     0xf0f0f0f0, 0x19fd1030, kUnknownAddress};
  wordA.suspect = ReportedPair::Suspect::kWordA;
  ReportedPair wordB{0x40007,         0x40007,
                     0x0000ffff,      0x0000ffff ^ 0x80000000,
                     kUnknownAddress, 0x9851000};
  wordB.suspect = ReportedPair::Suspect::kWordB;
  ReportedPair wordAAgain = wordA;
  wordAAgain.valueA = 0x400;  // read where 0 was written
  wordAAgain.valueB = 0;
  struct Case {
    const char* name;
    ReportedPair error;
    const char* row;
  };
  const std::vector<Case> cases = {
      {"pair", ReportedPair{7, 7, 0xf0, 0xf0 ^ 0x2000, 0x19fd17ac, 0x98517ac},
       "<tr><td>0x19fd17ac</td><td>0x98517ac</td><td>0x00002000</td><td>1</td>"
       "<td>#1</td></tr>"},
      {"word of bank A", wordA,
       "<tr><td>bank A word 12</td><td>0xf0f0f4f0</td><td>0xf0f0f0f0</td>"
       "<td>0x19fd1030</td><td>0x00000400</td><td>2</td><td>#2 to #4</td>"
       "</tr>"},
      {"word of bank B", wordB,
       "<tr><td>bank B word 262151</td><td>0x8000ffff</td><td>0x0000ffff</td>"
       "<td>0x9851000</td><td>0x80000000</td><td>1</td><td>#3</td></tr>"},
  };
  prepareAndStart();
  step();
  for (const Case& c : cases) record.recordPair(c.error);
  record.recordPair(wordAAgain);
  tester.errorCount = 4;
  step(1);
  const std::string page = file(".html");
  for (const Case& c : cases) {
    EXPECT_NE(page.find(c.row), std::string::npos) << c.name << "\n" << page;
  }
  EXPECT_NE(page.find("either could be the bad one"), std::string::npos);
  EXPECT_NE(page.find("that word is the bad one"), std::string::npos);
}

// A pre-test mismatch or a range of the kernel's early check is news like an
// error: written at once, and the report says FAIL.
TEST_F(StickReportTest, FindingsFromBeforeTheTestsAreWrittenAsAFail) {
  prepareAndStart();
  step();
  ASSERT_EQ(writes(), 2);
  report->fullTestingBegins();
  record.countPretestMismatch();
  step(1);
  EXPECT_EQ(writes(), 4);
  EXPECT_NE(file(".txt").find("Cellcheck report: FAIL"), std::string::npos);
  record.recordExternalRange(PhysicalRange{0x40000000, 0x40001000});
  step(StickReport::kSecondsBetweenFindingWrites);
  EXPECT_EQ(writes(), 6);
}

TEST_F(StickReportTest, AFailedWriteSaysSoOnceAndTestingGoesOn) {
  prepareAndStart();
  step();
  ASSERT_EQ(writes(), 2);
  const std::string before = file(".txt");
  kernel.bytesBeforeWriteFails = 0;
  kernel.writeError = EIO;  // the stick pulled out
  error(7);
  EXPECT_EQ(step(1),
            "\n\rReports: writing to the boot stick failed (Input/output "
            "error); no more reports are written, testing goes on.\n\r");
  EXPECT_FALSE(report->writing());
  error(8);
  ++summaries;
  EXPECT_EQ(step(120), "");
  EXPECT_EQ(writes(), 3);
  EXPECT_EQ(file(".txt"), before);  // the last complete report stays
}

TEST_F(StickReportTest, ATextFileThatWouldPassItsCapKeepsItsHeadAndLastPart) {
  prepareAndStart();
  step();
  // Far more lines than the file may hold, a few steps' worth at a time.
  const size_t lines = 2 * kMaxReportFileBytes / 50;
  char line[64];
  for (size_t n = 0; n < lines; ++n) {
    const int length =
        snprintf(line, sizeof line, "%-47zu#\n\r", n);  // 50 bytes
    consoleRing().keep(line, static_cast<size_t>(length));
    if (n % 1000 == 999) step();
  }
  ConsoleCapture console;
  report->verdict(Verdict{});
  const std::string text = file(".txt");
  EXPECT_LE(text.size(), kMaxReportFileBytes);
  EXPECT_NE(text.find("\n0 "), std::string::npos);
  EXPECT_NE(text.find("\n" + std::to_string(lines - 1) + " "),
            std::string::npos);
  EXPECT_NE(text.find(" lines left out here ...]"), std::string::npos);
}

// A module named by its slot and serial number, as the inventory gives it.
Module moduleIn(const std::string& slot, const std::string& serial) {
  Module module;
  module.slot = slot;
  module.serial = serial;
  module.sizeBytes = u64{8} << 30;
  module.type = "DDR4";
  module.partNumber = "M378A1K43EB2-CWE";
  return module;
}

RunRecord earlierRun(const std::string& machine, RunOutcome outcome, u64 errors,
                     const std::vector<ModuleInSlot>& modules) {
  RunRecord run;
  run.machine = machine;
  run.when = "2026-12-09 10:00:00";
  run.outcome = outcome;
  run.errors = errors;
  run.testedSeconds = 5400;
  run.coveragePercent = 130;
  run.modules = modules;
  return run;
}

// The history on the stick: read at start-up (another machine's runs and a
// line a power-off cut short left alone), this run's record written with
// every report, after a line feed of its own, and updated to the verdict;
// what the runs show on the screen at start-up and at the verdict, and in
// both files.
TEST_F(StickReportTest, KeepsEachRunInTheHistoryAndSaysWhichModule) {
  const std::string earlier =
      encodeRunRecord(
          earlierRun("CC-0042", RunOutcome::kFail, 12,
                     {{"DIMM_A1", "AAAA0001"}, {"DIMM_B1", "BBBB0002"}})) +
      encodeRunRecord(earlierRun("OTHER-7", RunOutcome::kPass, 0,
                                 {{"DIMM_A1", "CCCC0003"}}));
  const std::string torn =
      encodeRunRecord(earlierRun("CC-0042", RunOutcome::kPass, 0, {}));
  const std::string onStick = earlier + torn.substr(0, torn.size() / 2);
  folder.write(std::string("stick/") + kHistoryFileName, onStick);
  // Module BBBB0002 taken out for this run.
  facts.modules.modules = {moduleIn("DIMM_A1", "AAAA0001")};

  prepareAndStart();
  ASSERT_FALSE(report->historyLines().empty());
  EXPECT_EQ(report->historyLines().front(),
            "History: 1 run of this machine on this stick, 1 with errors, 0 "
            "passed");
  step();
  const std::string path =
      folder.path() + "/stick/" + std::string(kHistoryFileName);
  std::string history = readSmallFile(path);
  ASSERT_EQ(history.substr(0, onStick.size() + 1), onStick + "\n");
  std::vector<RunRecord> runs = parseRunHistory(history);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs.back().outcome, RunOutcome::kStopped);
  EXPECT_EQ(runs.back().machine, "CC-0042");
  EXPECT_EQ(runs.back().when, "2026-12-10 15:30:12");

  report->fullTestingBegins();
  now += 7200;
  tester.passCount = 2400;  // past a full pass
  Verdict verdict = {};
  verdict.pass = true;
  std::string screen;
  {
    ConsoleCapture console;
    report->verdict(verdict);
    screen = console.take();
  }
  const std::string named =
      "Module serial BBBB0002 (not in the machine now) was in the run with "
      "errors; the run without it passed 2.0 hours";
  EXPECT_NE(screen.find(named), std::string::npos) << screen;
  EXPECT_NE(file(".txt").find(named), std::string::npos);
  EXPECT_NE(file(".html").find(named), std::string::npos);
  EXPECT_NE(file(".txt").find("Module DIMM_A1: 8 GiB DDR4, "
                              "M378A1K43EB2-CWE, serial AAAA0001"),
            std::string::npos);

  history = readSmallFile(path);
  runs = parseRunHistory(history);
  ASSERT_EQ(runs.size(), 3u);  // this run's record replaced, not added
  EXPECT_EQ(runs.back().outcome, RunOutcome::kPass);
  EXPECT_EQ(runs.back().testedSeconds, 7200u);
  EXPECT_EQ(history.substr(0, onStick.size() + 1), onStick + "\n");
}

// A run that names no module keeps no record: nothing the history could
// follow.
TEST_F(StickReportTest, ARunWithoutModulesKeepsNoHistory) {
  prepareAndStart();
  step();
  EXPECT_TRUE(report->historyLines().empty());
  EXPECT_EQ(
      access((folder.path() + "/stick/" + kHistoryFileName).c_str(), F_OK), -1);
}

}  // namespace
