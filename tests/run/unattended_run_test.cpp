#include "run/unattended_run.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "console/cellchecker_dos.h"
#include "console/ecc_watch.h"
#include "console/temperature_watch.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_dhcp_client.h"
#include "tests/support/fake_edac.h"
#include "tests/support/fake_hwmon.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fixed_addresses.h"

namespace {

constexpr time_t kBoot = 1796910900;

// The schedule's figures as the run reads them.
struct FixedSchedule : ScheduleFigures {
  double secondsToFullCoverage() const override { return seconds; }
  int summariesShown() const override { return 0; }
  double seconds = 0;
};

// The step between tests as far as a run sees it: other work (`before`,
// such as the ECC counts), then the run's events, then its limit.
class RunStep : public BetweenTestsWork {
 public:
  RunStep(UnattendedRun& run, BetweenTestsWork* before = nullptr)
      : run_(run), before_(before) {}
  bool betweenTests() override {
    if (before_ != nullptr) before_->betweenTests();
    run_.events().betweenTests();
    return run_.limit().betweenTests();
  }
  void fullTestingBegins() override {
    run_.events().fullTestingBegins();
    run_.limit().fullTestingBegins();
  }
  void lastLook() override {
    if (before_ != nullptr) before_->lastLook();
    run_.events().lastLook();
    run_.limit().lastLook();
  }

 private:
  UnattendedRun& run_;
  BetweenTestsWork* before_;
};

class UnattendedRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    facts.options.any = true;
    facts.options.seconds = 60;
    facts.options.syslog = true;
    facts.identity.vendor = "QEMU";
    facts.identity.serial = "CC-0042";
    facts.installedKiB = 1024 * 1024;
    facts.areaBytes = 1002 * kMiB;
    facts.secureBoot = SecureBoot::kOn;
    tester.wordsPerBank = 1002 * kMiB / 8;
    tester.passCount = 57;
    dhcp.given.interface = "eth0";
    dhcp.given.address = "10.99.0.50";
    dhcp.given.logServer = "10.99.0.1";
  }

  std::unique_ptr<UnattendedRun> makeRun() {
    return std::unique_ptr<UnattendedRun>(
        new UnattendedRun(facts, start, kernel, kernel, dhcp, tester, findings,
                          watch, [this] { return now; }));
  }

  // Runs tests (one pass and `seconds` each) with the step before each,
  // until the run ends; returns how many ran.
  int runTests(BetweenTestsWork& step, time_t seconds, int most = 1000) {
    int tests = 0;
    while (tests < most && step.betweenTests()) {
      now += seconds;
      ++tester.passCount;
      ++tests;
    }
    return tests;
  }

  std::vector<std::string> withMsgid(const std::string& msgid) {
    std::vector<std::string> found;
    for (const auto& datagram : kernel.datagrams) {
      if (datagram.second.find(" cellcheck - " + msgid + " ") !=
          std::string::npos) {
        found.push_back(datagram.second);
      }
    }
    return found;
  }

  // The messages written to the serial port, each unframed; a write that
  // is not one line framed by line feeds fails the test.
  std::vector<std::string> serialMessages() {
    std::vector<std::string> messages;
    for (const auto& write : kernel.serialWrites) {
      EXPECT_EQ(write.first, "/dev/ttyS0");
      const std::string& text = write.second;
      EXPECT_TRUE(text.size() > 2 && text.front() == '\n' &&
                  text.back() == '\n' && text.find('\n', 1) == text.size() - 1)
          << text;
      messages.push_back(text.substr(1, text.size() - 2));
    }
    return messages;
  }
  static std::string msgidOf(const std::string& message) {
    const size_t at = message.find(" cellcheck - ") + 13;
    return message.substr(at, message.find(' ', at) - at);
  }
  void openSerialPort() {
    int error = 0;
    facts.options.logSerial = true;
    start.serialPort = kernel.openSerialPort("/dev/ttyS0", &error);
  }

  // An error the tests found in word pair `index`.
  void error(u64 index, u32 valueB) {
    record.recordPair(ReportedPair{index, index, 0xf0, valueB,
                                   0x12345000 + index * 4, kUnknownAddress});
  }

  FakeKernel kernel;
  FakeDhcpClient dhcp;
  RunFacts facts;
  Unattended start{kernel, kernel, kernel, dhcp, ""};
  CellcheckerDos tester;
  BadMemory record;
  FixedAddresses addresses;
  time_t now = kBoot;
  BadMemoryWatch watch{record, addresses, [this] { return now; }};
  MemoryFaultLog faults;
  Findings findings{record, &faults};
};

TEST_F(UnattendedRunTest,
       AOneMinuteRunEndsWithAVerdictOnScreenAndAtTheCollector) {
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  ASSERT_FALSE(kernel.datagrams.empty());
  EXPECT_EQ(kernel.datagrams[0].first, "10.99.0.1:514");
  step.fullTestingBegins();
  // Tests of 7 s each: the one running at 60 s is finished first.
  EXPECT_EQ(runTests(step, 7), 9);
  EXPECT_EQ(now, kBoot + 63);
  EXPECT_EQ(kernel.reaps, 10);  // children are collected between tests

  ConsoleCapture console;
  EXPECT_TRUE(run->finish(step));
  EXPECT_EQ(console.take(),
            "\n\r\n\r" + std::string(70, '=') +
                "\n\r VERDICT: PASS\n\r"
                " Tested 1002 MiB for 0.02 hours, 3.3 % coverage, 0 errors.\n\r"
                " Events that could not be sent to the collector: 0.\n\r"
                " Testing has ended: switch the machine off.\n\r" +
                std::string(70, '=') + "\n\r");

  const std::vector<std::string> starts = withMsgid("start");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].substr(0, 44),
            "<13>1 2026-12-10T13:55:00Z CC-0042 cellcheck");
  EXPECT_NE(starts[0].find("ram=\"1024\" area=\"1002\" limit=\"60s\" "
                           "end=\"halt\" secureboot=\"on\" vendor=\"QEMU\""),
            std::string::npos)
      << starts[0];
  // Progress when full testing begins, then every 10 s (a tenth of a minute
  // is less than that).
  EXPECT_EQ(withMsgid("progress").size(), 7u);
  const std::vector<std::string> verdicts = withMsgid("verdict");
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_NE(verdicts[0].find("result=\"PASS\" mib=\"1002\" hours=\"0.02\" "
                             "coverage=\"3.3\" errors=\"0\" unsent=\"0\""),
            std::string::npos)
      << verdicts[0];
  for (const auto& datagram : kernel.datagrams) {
    EXPECT_LE(datagram.second.size(), kMaxMessageBytes);
  }
}

// The estimate of the time to 100 % goes out with the first progress (it is
// known once the opening has measured the speed) and in the verdict.
TEST_F(UnattendedRunTest,
       TheEstimateToFullCoverageIsInTheFirstProgressAndTheVerdict) {
  FixedSchedule schedule;
  schedule.seconds = 2.5 * 3600;
  facts.schedule = &schedule;
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  runTests(step, 7);
  ConsoleCapture console;
  run->finish(step);
  EXPECT_NE(console.take().find(
                " Tested 1002 MiB for 0.02 hours, 3.3 % coverage, 0 errors.\n\r"
                " 100 % coverage takes about 2 h 30 min of full testing at "
                "the speed measured at start-up.\n\r"),
            std::string::npos);
  const std::vector<std::string> progress = withMsgid("progress");
  ASSERT_GE(progress.size(), 2u);
  EXPECT_NE(progress[0].find("hoursto100=\"2.50\""), std::string::npos)
      << progress[0];
  EXPECT_EQ(progress[1].find("hoursto100"), std::string::npos) << progress[1];
  const std::vector<std::string> verdicts = withMsgid("verdict");
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_NE(verdicts[0].find("hoursto100=\"2.50\""), std::string::npos)
      << verdicts[0];
}

// The limit counts from the notice that full testing begins: the opening,
// however long it takes, runs whole, and its findings still go out.
TEST_F(UnattendedRunTest, TheOpeningRunsWholeAndItsErrorsGoOut) {
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  EXPECT_EQ(runTests(step, 3600, 5), 5);
  EXPECT_TRUE(withMsgid("progress").empty());
  error(7, 0xf8);
  EXPECT_TRUE(step.betweenTests());
  EXPECT_EQ(withMsgid("error").size(), 1u);
  step.fullTestingBegins();
  EXPECT_EQ(runTests(step, 7), 9);
}

TEST_F(UnattendedRunTest, AStartUpThatStoppedIsReported) {
  auto run = makeRun();
  run->postStopped();
  const std::vector<std::string> stopped = withMsgid("stopped");
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_EQ(stopped[0].substr(0, 5), "<9>1 ");
  EXPECT_NE(stopped[0].find("ram=\"1024\" vendor=\"QEMU\""), std::string::npos)
      << stopped[0];
}

TEST_F(UnattendedRunTest, ACoverageLimitEndsTheRunThere) {
  facts.options.seconds = 0;
  facts.options.coverage = 5;  // 100 passes
  auto run = makeRun();
  RunStep step(*run);
  step.fullTestingBegins();
  EXPECT_EQ(runTests(step, 1), 43);
  EXPECT_EQ(tester.passCount, 100u);
}

TEST_F(UnattendedRunTest, AOneWordErrorSaysWhichWordIsSuspect) {
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  EXPECT_TRUE(step.betweenTests());
  // Word 5 of bank B read 0x0f where 0x0e was written.
  ReportedPair word{5, 5, 0x0e, 0x0f, kUnknownAddress, 0x12345014};
  word.suspect = ReportedPair::Suspect::kWordB;
  record.recordPair(word);
  EXPECT_TRUE(step.betweenTests());
  const std::vector<std::string> errors = withMsgid("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("bits=\"0x1\" suspect=\"B\"] Memory error 1"),
            std::string::npos)
      << errors[0];
  // It fails the run like any error, and its page alone is suspect.
  ConsoleCapture console;
  EXPECT_FALSE(run->finish(step));
  const std::string shown = console.take();
  EXPECT_NE(shown.find(" VERDICT: FAIL\n\r"), std::string::npos) << shown;
  EXPECT_NE(shown.find("coverage, 1 error.\n\r\n\rBad memory: 1 error named 1 "
                       "suspect page"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("memmap=4K$0x12345000\n\r"), std::string::npos) << shown;
  EXPECT_NE(withMsgid("verdict")[0].find("<9>1 "), std::string::npos);
}

TEST_F(UnattendedRunTest, ErrorsGoOutBetweenTestsAndFailTheRunWithTheSummary) {
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  EXPECT_TRUE(step.betweenTests());
  error(7, 0xf8);  // found by the test that ran
  error(9, 0xf1);
  EXPECT_TRUE(step.betweenTests());
  const std::vector<std::string> errors = withMsgid("error");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("error=\"1\" indexA=\"7\" indexB=\"7\" "
                           "valueA=\"0xf0\" valueB=\"0xf8\" "
                           "addressA=\"0x1234501c\" addressB=\"unknown\" "
                           "bits=\"0x8\"] Memory error 1"),
            std::string::npos)
      << errors[0];
  EXPECT_NE(errors[1].find("error=\"2\" indexA=\"9\""), std::string::npos);

  ConsoleCapture console;
  EXPECT_FALSE(run->finish(step));
  const std::string shown = console.take();
  EXPECT_NE(shown.find(" VERDICT: FAIL\n\r Tested 1002 MiB for 0.00 hours, "
                       "2.8 % coverage, 2 errors.\n\r\n\rBad memory: 2 errors "
                       "named 1 suspect page"),
            std::string::npos)
      << shown;
  // The summary goes out with the verdict, in parts when it is long.
  std::string summary;
  for (const std::string& part : withMsgid("summary")) summary += part;
  EXPECT_NE(summary.find("Bad memory: 2 errors named 1 suspect page"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("memmap=4K$0x12345000"), std::string::npos);
  EXPECT_NE(withMsgid("verdict")[0].find("<9>1 "), std::string::npos);
}

// The hardware's own findings fail a run without a single data error, and
// the verdict names them apart from the errors the tests found.
TEST_F(UnattendedRunTest, GrownEccCountsAndMachineChecksFailTheRun) {
  auto run = makeRun();
  RunStep step(*run);
  step.fullTestingBegins();
  EXPECT_TRUE(step.betweenTests());
  record.recordEccErrors("A1 (mc0, channel 0 slot 0)", 3, 0);
  faults.add(MemoryFault{0x7fd6b8871000, 4096, 0x6019000, false});
  record.recordMachineCheck(0x6019000);
  EXPECT_TRUE(step.betweenTests());
  EXPECT_TRUE(step.betweenTests());  // nothing new: nothing sent again
  const std::vector<std::string> ecc = withMsgid("ecc");
  ASSERT_EQ(ecc.size(), 1u);
  EXPECT_EQ(ecc[0].substr(0, 5), "<12>1") << "a warning";
  EXPECT_NE(ecc[0].find("module=\"A1 (mc0, channel 0 slot 0)\" corrected=\"3\" "
                        "uncorrected=\"0\""),
            std::string::npos)
      << ecc[0];
  const std::vector<std::string> checks = withMsgid("machinecheck");
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_NE(checks[0].find("machinecheck=\"1\" virtual=\"0x7fd6b8871000\" "
                           "physical=\"0x6019000\" bytes=\"4096\" "
                           "found=\"read\""),
            std::string::npos)
      << checks[0];

  ConsoleCapture console;
  EXPECT_FALSE(run->finish(step));
  const std::string shown = console.take();
  EXPECT_NE(shown.find(" VERDICT: FAIL\n\r Tested 1002 MiB for 0.00 hours, "
                       "2.8 % coverage, 0 errors.\n\r Uncorrected memory "
                       "errors caught by machine checks: 1.\n\r ECC: the "
                       "memory controllers counted 3 corrected and 0 "
                       "uncorrected errors during the run.\n\r"),
            std::string::npos)
      << shown;
  const std::vector<std::string> verdicts = withMsgid("verdict");
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_NE(verdicts[0].find("errors=\"0\" unsent=\"0\" machinechecks=\"1\" "
                             "ecccorrected=\"3\" eccuncorrected=\"0\""),
            std::string::npos)
      << verdicts[0];
}

// The memory controllers' counts are read at most every 10 s between tests;
// counts that grow after the last of those reads, in the last seconds of a
// run, must still fail it.
TEST_F(UnattendedRunTest, EccCountsThatGrowInTheLastSecondFailTheRun) {
  putEdacController(
      kernel, "mc0", "Skylake Socket#0 IMC#0", "0\n", "0\n",
      {{"dimm0", "A1\n", "channel 0 slot 0 \n", "S4ECD4ED\n", "0\n", "0\n"}});
  EccWatch ecc(kernel, record, [this] { return now; });
  {
    ConsoleCapture console;
    ecc.start();
  }
  facts.options.seconds = 60;
  auto run = makeRun();
  RunStep step(*run, &ecc);
  run->postStart();
  step.fullTestingBegins();
  ConsoleCapture console;
  // Tests of 7 s: the counts are read at 14, 28, 42 and 56 s.
  EXPECT_EQ(runTests(step, 7), 9);
  EXPECT_EQ(now, kBoot + 63);
  EXPECT_EQ(console.take(), "");
  // The count grows at the end of the last test, 7 s after the last look:
  // too soon for another.
  putEdacFile(kernel, "mc0/dimm0/dimm_ce_count", "1\n");
  ecc.poll();
  EXPECT_EQ(console.take(), "");

  EXPECT_FALSE(run->finish(step));
  const std::string shown = console.take();
  EXPECT_EQ(shown.find("\n\rECC: memory module A1 (mc0, channel 0 slot 0) "
                       "counted 1 more error: 1 corrected, 0 uncorrected so "
                       "far.\n\r\n\r\n\r====="),
            0u)
      << shown;
  EXPECT_NE(shown.find(" VERDICT: FAIL\n\r"), std::string::npos) << shown;
  EXPECT_NE(shown.find(" ECC: the memory controllers counted 1 corrected and 0 "
                       "uncorrected errors during the run.\n\r"),
            std::string::npos)
      << shown;
  ASSERT_EQ(withMsgid("ecc").size(), 1u);
  EXPECT_NE(withMsgid("verdict")[0].find("result=\"FAIL\""), std::string::npos);
}

// The highest temperatures go out with progress and the verdict, read once
// more for it; a module at its critical limit is news, but no memory error:
// the run still passes.
TEST_F(UnattendedRunTest, TheHighestTemperaturesGoOutButNeverFailTheRun) {
  putHwmonChip(kernel, "hwmon0", "coretemp", nullptr,
               {{1, "41000\n", "Package id 0\n", "100000\n"}});
  putHwmonChip(kernel, "hwmon1", "spd5118", "0-0050",
               {{1, "36000\n", nullptr, "85000\n"}});
  TemperatureWatch temperatures(kernel, [this] { return now; });
  {
    ConsoleCapture console;
    temperatures.start();
    console.take();
  }
  Findings withSensors(record, &faults, &temperatures);
  UnattendedRun run(facts, start, kernel, kernel, dhcp, tester, withSensors,
                    watch, [this] { return now; });
  RunStep step(run, &temperatures);
  run.postStart();
  step.fullTestingBegins();
  ConsoleCapture console;
  EXPECT_EQ(runTests(step, 7, 4), 4);
  putHwmonFile(kernel, "hwmon0/temp1_input", "58000\n");
  putHwmonFile(kernel, "hwmon1/temp1_input", "90000\n");
  EXPECT_EQ(runTests(step, 7), 5) << "heat never ends a run early";
  // Hotter still in the last seconds, too soon for a look of its own.
  putHwmonFile(kernel, "hwmon1/temp1_input", "91000\n");

  EXPECT_TRUE(run.finish(step));
  const std::string shown = console.take();
  EXPECT_NE(shown.find("\n\rTemperature: memory module 0 on SMBus 0 is at 90 "
                       "\xc2\xb0"
                       "C, at or above its critical limit of 85 \xc2\xb0"
                       "C; testing goes on.\n\r"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find(" VERDICT: PASS\n\r"), std::string::npos) << shown;
  EXPECT_NE(shown.find(" Highest temperatures: CPU 58 \xc2\xb0"
                       "C; 1 memory module 91 \xc2\xb0"
                       "C; 1 memory module reached its critical limit.\n\r"),
            std::string::npos)
      << shown;

  // Each kind's highest and the crossings, as the verdict reads them.
  const FoundTemperatures found = withSensors.temperatures();
  EXPECT_EQ(found.cpus.highest, 58);
  EXPECT_EQ(found.modules.highest, 91);
  EXPECT_EQ(found.modulesAtLimit, 1);

  const std::vector<std::string> progress = withMsgid("progress");
  ASSERT_GE(progress.size(), 2u);
  EXPECT_NE(progress.front().find("tempcpu=\"41\" tempmodules=\"36\"]"),
            std::string::npos)
      << progress.front();
  EXPECT_NE(progress.back().find("tempcpu=\"58\" tempmodules=\"90\" "
                                 "tempcritical=\"1\"] "),
            std::string::npos)
      << progress.back();
  EXPECT_NE(progress.back().find("; highest temperatures: CPU 58 C, memory "
                                 "modules 90 C, 1 memory module reached its "
                                 "critical limit"),
            std::string::npos)
      << progress.back();
  const std::vector<std::string> verdicts = withMsgid("verdict");
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_NE(verdicts[0].find("result=\"PASS\""), std::string::npos);
  EXPECT_NE(verdicts[0].find("tempcpu=\"58\" tempmodules=\"91\" "
                             "tempcritical=\"1\"]"),
            std::string::npos)
      << verdicts[0];
  for (const auto& datagram : kernel.datagrams) {
    EXPECT_LE(datagram.second.size(), kMaxMessageBytes);
  }
}

TEST_F(UnattendedRunTest, ManyErrorsAtOnceGoOutAsDetailsThenACount) {
  auto run = makeRun();
  RunStep step(*run);
  step.fullTestingBegins();
  for (int i = 0; i < 20; ++i) error(100 + i, 0xf1);
  step.betweenTests();
  const std::vector<std::string> errors = withMsgid("error");
  ASSERT_EQ(errors.size(), UnattendedRun::kMaxErrorDetailsAtOnce + 1);
  EXPECT_NE(errors.back().find("errors=\"20\" new=\"12\""), std::string::npos)
      << errors.back();
}

TEST_F(UnattendedRunTest, APreTestFindingFailsTheRunWithoutErrors) {
  record.countPretestMismatch();
  auto run = makeRun();
  RunStep step(*run);
  step.fullTestingBegins();
  ConsoleCapture console;
  EXPECT_FALSE(run->finish(step));
  EXPECT_NE(console.take().find("VERDICT: FAIL"), std::string::npos);
}

// A module whose memory the firmware never mapped: no error, and still no
// PASS. The start and verdict events name the modules by slot, size, part
// and serial, and the missing one.
TEST_F(UnattendedRunTest, MissingMemoryFailsTheRunAndTheEventsNameTheModules) {
  Module a;
  a.slot = "DIMM_A1";
  a.sizeBytes = u64{8} << 30;
  a.partNumber = "KF432C16BB/8";
  a.serial = "1A2B3C4D";
  Module b = a;
  b.slot = "DIMM_B1";
  b.serial = "";
  facts.modules.modules = {a, b};
  facts.missingMemory = findMissingMemory(facts.modules, u64{7} << 30);
  ASSERT_TRUE(facts.missingMemory.missing);
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  runTests(step, 7);
  ConsoleCapture console;
  EXPECT_FALSE(run->finish(step));
  const std::string screen = console.take();
  EXPECT_NE(screen.find(" VERDICT: FAIL\n\r"), std::string::npos);
  EXPECT_NE(screen.find(" " + missingMemoryLine(facts.missingMemory) + ".\n\r"),
            std::string::npos)
      << screen;
  for (const char* msgid : {"start", "verdict"}) {
    const std::vector<std::string> events = withMsgid(msgid);
    ASSERT_EQ(events.size(), 1u) << msgid;
    const std::string& event = events[0];
    EXPECT_NE(
        event.find("dimms=\"2\" dimm1=\"DIMM_A1; 8 GiB; KF432C16BB/8; "
                   "1A2B3C4D\" dimm2=\"DIMM_B1; 8 GiB; KF432C16BB/8; -\""),
        std::string::npos)
        << event;
    EXPECT_NE(event.find("missingmemory=\"DIMM_A1 (8 GiB), DIMM_B1 (8 GiB)\""),
              std::string::npos)
        << event;
  }
}

// Findings from before the tests (the pre-test's mismatches, the kernel's
// early check) are findings like an error: the first progress carries the
// summary, and the verdict is FAIL on the screen and at the collector.
TEST_F(UnattendedRunTest, OnlyFindingsFromBeforeTheTestsAreNoPassAnywhere) {
  struct Case {
    const char* name;
    void (*find)(BadMemory&);
  };
  for (const Case& c :
       {Case{"a pre-test mismatch",
             [](BadMemory& r) { r.countPretestMismatch(); }},
        Case{"an early-check range", [](BadMemory& r) {
               r.recordExternalRange(PhysicalRange{0x40000000, 0x40001000});
             }}}) {
    SCOPED_TRACE(c.name);
    kernel.datagrams.clear();
    BadMemory found;
    c.find(found);
    Findings onlyThat(found);
    BadMemoryWatch summary(found, addresses, [this] { return now; });
    UnattendedRun run(facts, start, kernel, kernel, dhcp, tester, onlyThat,
                      summary, [this] { return now; });
    RunStep step(run);
    run.postStart();
    step.fullTestingBegins();
    step.betweenTests();
    ASSERT_EQ(withMsgid("progress").size(), 1u);
    EXPECT_FALSE(withMsgid("summary").empty())
        << "the summary goes out with the first progress";
    ConsoleCapture console;
    EXPECT_FALSE(run.finish(step));
    EXPECT_NE(console.take().find("VERDICT: FAIL"), std::string::npos);
    const std::vector<std::string> verdicts = withMsgid("verdict");
    ASSERT_EQ(verdicts.size(), 1u);
    EXPECT_NE(verdicts[0].find("result=\"FAIL\""), std::string::npos)
        << verdicts[0];
  }
}

TEST_F(UnattendedRunTest, LostEventsAreCountedAndShownAndTheRunGoesOn) {
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  kernel.sendsFail = true;  // the network is gone
  EXPECT_EQ(runTests(step, 7), 9);
  ConsoleCapture console;
  run->finish(step);
  EXPECT_NE(console.take().find(
                " Events that could not be sent to the collector: 7.\n\r"),
            std::string::npos);
}

TEST_F(UnattendedRunTest, EventsWaitForTheLeaseAndTheMachineNameFallsBack) {
  facts.identity.serial.clear();
  dhcp.leaseFromCall = 3;
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();  // no lease yet: the start event waits
  step.fullTestingBegins();
  EXPECT_TRUE(kernel.datagrams.empty());
  runTests(step, 1, 3);
  ASSERT_FALSE(withMsgid("start").empty());
  // No serial number: the address names the machine, in the events that
  // waited for the lease too.
  EXPECT_NE(withMsgid("start")[0].find(" 10.99.0.50 cellcheck "),
            std::string::npos);
}

TEST_F(UnattendedRunTest, NoLogServerFromDhcpCountsEveryEventAsUnsent) {
  dhcp.given.logServer.clear();
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  runTests(step, 7);
  EXPECT_TRUE(kernel.datagrams.empty());
  ConsoleCapture console;
  run->finish(step);
  const std::string shown = console.take();
  // The start and 7 progress events.
  EXPECT_NE(shown.find(" Events that could not be sent to the collector: "
                       "8.\n\r"),
            std::string::npos)
      << shown;
}

TEST_F(UnattendedRunTest, ATimedRunWithoutSyslogShowsOnlyTheVerdict) {
  facts.options.syslog = false;
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  runTests(step, 30);
  ConsoleCapture console;
  run->finish(step);
  const std::string shown = console.take();
  EXPECT_NE(shown.find("VERDICT: PASS"), std::string::npos);
  EXPECT_EQ(shown.find("Events"), std::string::npos);
  EXPECT_EQ(dhcp.calls, 0);
  EXPECT_TRUE(kernel.datagrams.empty());
}

// Only the serial port asked for: no network, and every event, start to
// verdict, as a line of its own.
TEST_F(UnattendedRunTest, EventLinesAloneCarryEveryEventToTheVerdict) {
  facts.options.syslog = false;
  openSerialPort();
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  step.fullTestingBegins();
  EXPECT_TRUE(step.betweenTests());
  error(7, 0xf8);
  runTests(step, 30);
  ConsoleCapture console;
  EXPECT_FALSE(run->finish(step));
  EXPECT_EQ(console.take().find("Events"), std::string::npos);
  EXPECT_EQ(dhcp.calls, 0);
  EXPECT_TRUE(kernel.datagrams.empty());

  std::vector<std::string> msgids;
  for (const std::string& message : serialMessages()) {
    EXPECT_LE(message.size(), kMaxMessageBytes);
    EXPECT_NE(message.find("Z CC-0042 cellcheck - "), std::string::npos)
        << message;
    if (msgids.empty() || msgids.back() != msgidOf(message)) {
      msgids.push_back(msgidOf(message));
    }
  }
  EXPECT_EQ(msgids, (std::vector<std::string>{"start", "progress", "error",
                                              "progress", "summary", "progress",
                                              "summary", "verdict"}));
  EXPECT_NE(serialMessages().back().find("result=\"FAIL\" mib=\"1002\" "
                                         "hours=\"0.02\" coverage=\"3.0\" "
                                         "errors=\"1\" unsent=\"0\""),
            std::string::npos)
      << serialMessages().back();
}

// Beside a collector: the same messages, and those that wait for the
// lease are on the serial port at once.
TEST_F(UnattendedRunTest, EventLinesAreTheCollectorsMessagesWithoutWaiting) {
  openSerialPort();
  dhcp.leaseFromCall = 3;
  auto run = makeRun();
  RunStep step(*run);
  run->postStart();
  EXPECT_TRUE(kernel.datagrams.empty());
  ASSERT_EQ(serialMessages().size(), 1u);
  EXPECT_EQ(msgidOf(serialMessages()[0]), "start");
  step.fullTestingBegins();
  runTests(step, 7);
  ConsoleCapture console;
  run->finish(step);
  std::vector<std::string> datagrams;
  for (const auto& datagram : kernel.datagrams) {
    datagrams.push_back(datagram.second);
  }
  EXPECT_EQ(serialMessages(), datagrams);
}

TEST_F(UnattendedRunTest, AStuckSerialPortIsSaidOnceAndTheRunGoesOn) {
  facts.options.syslog = false;
  openSerialPort();
  kernel.serialWritesFail = true;
  auto run = makeRun();
  RunStep step(*run);
  ConsoleCapture console;
  run->postStart();
  step.fullTestingBegins();
  EXPECT_EQ(runTests(step, 7), 9);
  EXPECT_TRUE(run->finish(step));
  const std::string shown = console.take();
  const std::string said =
      "\n\rThe serial port /dev/ttyS0 stopped taking event lines: no more "
      "are written.\n\r";
  EXPECT_EQ(shown.find(said), 0u) << shown;
  EXPECT_EQ(shown.find(said, 1), std::string::npos) << shown;
  EXPECT_NE(shown.find("VERDICT: PASS"), std::string::npos);
}

}  // namespace
