#include "app/unattended_run.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/cprintf.h"
#include "console/cellchecker_dos.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_dhcp_client.h"
#include "tests/support/fake_kernel.h"

namespace {

// Keeps every datagram; fails them all when told to.
class RecordingSink : public DatagramSink {
 public:
  explicit RecordingSink(std::vector<std::string>* datagrams, bool* failing)
      : datagrams_(datagrams), failing_(failing) {}
  bool send(const std::string& datagram) override {
    if (*failing_) return false;
    datagrams_->push_back(datagram);
    return true;
  }

 private:
  std::vector<std::string>* datagrams_;
  bool* failing_;
};

// A summary with chosen lines, for the verdict of a failed run.
class ListedFindings : public Findings {
 public:
  explicit ListedFindings(const Cellchecker& tester) : tester_(tester) {}
  u64 errorCount() override { return tester_.errorCount; }
  bool anythingFound() override {
    return tester_.errorCount != 0 || preTest || !machineChecks.empty() ||
           corrected != 0 || uncorrected != 0;
  }
  std::vector<std::string> summaryLines() override { return lines; }
  void printSummary() override {
    for (const std::string& line : lines) cprintf(" %s\n\r", line.c_str());
  }
  std::vector<Details> errorsFrom(u64 first) override {
    std::vector<Details> all;
    for (u64 i = first; i < tester_.errorCount && i < details.size(); ++i) {
      Details numbered{{"error", std::to_string(i + 1)}};
      numbered.insert(numbered.end(), details[i].begin(), details[i].end());
      all.push_back(numbered);
    }
    return all;
  }

  u64 machineCheckCount() override { return machineChecks.size(); }
  std::vector<Details> machineChecksFrom(u64 first) override {
    return std::vector<Details>(machineChecks.begin() + first,
                                machineChecks.end());
  }
  u64 eccCorrected() override { return corrected; }
  u64 eccUncorrected() override { return uncorrected; }
  std::vector<Details> eccModules() override { return modules; }

  bool preTest = false;
  std::vector<std::string> lines;
  std::vector<Details> details;
  std::vector<Details> machineChecks;
  u64 corrected = 0;
  u64 uncorrected = 0;
  std::vector<Details> modules;

 private:
  const Cellchecker& tester_;
};

constexpr time_t kBoot = 1796910900;

class UnattendedRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start.options.any = true;
    start.options.seconds = 60;
    start.options.syslog = true;
    start.identity.vendor = "QEMU";
    start.identity.serial = "CC-0042";
    start.installedKiB = 1024 * 1024;
    start.secureBoot = SecureBoot::kOn;
    start.areaBytes = 1002 * kMiB;
    tester.wordsPerBank = 1002 * kMiB / 8;
    tester.passCount = 57;
    dhcp.given.interface = "eth0";
    dhcp.given.address = "10.99.0.50";
    dhcp.given.logServer = "10.99.0.1";
  }

  std::unique_ptr<UnattendedRun> makeRun() {
    return std::unique_ptr<UnattendedRun>(new UnattendedRun(
        start, kernel, dhcp, tester, findings, [this] { return now; },
        [this](const std::string& host, uint16_t port) {
          collector = host + ":" + std::to_string(port);
          return std::unique_ptr<DatagramSink>(
              new RecordingSink(&datagrams, &failing));
        }));
  }

  // Runs tests (one pass and `seconds` each) until the run ends; returns
  // how many ran.
  int runTests(UnattendedRun& run, time_t seconds, int most = 1000) {
    int tests = 0;
    while (tests < most && run.betweenTests()) {
      now += seconds;
      ++tester.passCount;
      ++tests;
    }
    return tests;
  }

  std::vector<std::string> withMsgid(const std::string& msgid) {
    std::vector<std::string> found;
    for (const std::string& datagram : datagrams) {
      if (datagram.find(" cellcheck - " + msgid + " ") != std::string::npos) {
        found.push_back(datagram);
      }
    }
    return found;
  }

  FakeKernel kernel;
  FakeDhcpClient dhcp;
  Unattended start{kernel, dhcp, "", ""};
  CellcheckerDos tester;
  ListedFindings findings{tester};
  time_t now = kBoot;
  std::vector<std::string> datagrams;
  bool failing = false;
  std::string collector;
};

TEST_F(UnattendedRunTest,
       AOneMinuteRunEndsWithAVerdictOnScreenAndAtTheCollector) {
  auto run = makeRun();
  run->postStart();
  EXPECT_EQ(collector, "10.99.0.1:514");
  run->fullTestingBegins();
  // Tests of 7 s each: the one running at 60 s is finished first.
  EXPECT_EQ(runTests(*run, 7), 9);
  EXPECT_EQ(now, kBoot + 63);
  EXPECT_EQ(kernel.reaps, 10);  // children are collected between tests

  ConsoleCapture console;
  EXPECT_TRUE(run->finish());
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
  for (const std::string& datagram : datagrams) {
    EXPECT_LE(datagram.size(), kMaxMessageBytes);
  }
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
  start.options.seconds = 0;
  start.options.coverage = 5;  // 100 passes
  auto run = makeRun();
  run->fullTestingBegins();
  EXPECT_EQ(runTests(*run, 1), 43);
  EXPECT_EQ(tester.passCount, 100u);
}

TEST_F(UnattendedRunTest, ErrorsGoOutBetweenTestsAndFailTheRunWithTheSummary) {
  findings.lines = {"Bad memory: 2 errors", "Bank A word 7: bit 3"};
  findings.details = {{{"index", "7"}, {"bits", "0x8"}},
                      {{"index", "9"}, {"bits", "0x1"}}};
  auto run = makeRun();
  run->postStart();
  run->fullTestingBegins();
  EXPECT_TRUE(run->betweenTests());
  tester.errorCount = 2;  // found by the test that ran
  EXPECT_TRUE(run->betweenTests());
  const std::vector<std::string> errors = withMsgid("error");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("error=\"1\" index=\"7\" bits=\"0x8\""),
            std::string::npos)
      << errors[0];
  EXPECT_NE(errors[1].find("error=\"2\" index=\"9\""), std::string::npos);

  ConsoleCapture console;
  EXPECT_FALSE(run->finish());
  const std::string shown = console.take();
  EXPECT_NE(shown.find(" VERDICT: FAIL\n\r Tested 1002 MiB for 0.00 hours, "
                       "2.8 % coverage, 2 errors.\n\r Bad memory: 2 errors\n\r"
                       " Bank A word 7: bit 3\n\r"),
            std::string::npos)
      << shown;
  const std::vector<std::string> summaries = withMsgid("summary");
  ASSERT_FALSE(summaries.empty());
  EXPECT_NE(
      summaries.back().find("Bad memory: 2 errors | Bank A word 7: bit 3"),
      std::string::npos);
  EXPECT_NE(withMsgid("verdict")[0].find("<9>1 "), std::string::npos);
}

// The hardware's own findings fail a run without a single data error, and
// the verdict names them apart from the errors the tests found.
TEST_F(UnattendedRunTest, GrownEccCountsAndMachineChecksFailTheRun) {
  auto run = makeRun();
  run->fullTestingBegins();
  EXPECT_TRUE(run->betweenTests());
  findings.corrected = 3;
  findings.modules = {{{"module", "A1 (mc0, channel 0 slot 0)"},
                       {"corrected", "3"},
                       {"uncorrected", "0"}}};
  findings.machineChecks = {{{"machinecheck", "1"},
                             {"virtual", "0x7fd6b8871000"},
                             {"physical", "0x6019000"},
                             {"bytes", "4096"},
                             {"found", "read"}}};
  EXPECT_TRUE(run->betweenTests());
  EXPECT_TRUE(run->betweenTests());  // nothing new: nothing sent again
  const std::vector<std::string> ecc = withMsgid("ecc");
  ASSERT_EQ(ecc.size(), 1u);
  EXPECT_EQ(ecc[0].substr(0, 5), "<12>1") << "a warning";
  EXPECT_NE(ecc[0].find("module=\"A1 (mc0, channel 0 slot 0)\" corrected=\"3\" "
                        "uncorrected=\"0\""),
            std::string::npos)
      << ecc[0];
  const std::vector<std::string> checks = withMsgid("machinecheck");
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_NE(checks[0].find("physical=\"0x6019000\""), std::string::npos)
      << checks[0];

  ConsoleCapture console;
  EXPECT_FALSE(run->finish());
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

TEST_F(UnattendedRunTest, ManyErrorsAtOnceGoOutAsDetailsThenACount) {
  for (int i = 0; i < 20; ++i) findings.details.push_back({{"index", "1"}});
  auto run = makeRun();
  run->fullTestingBegins();
  tester.errorCount = 20;
  run->betweenTests();
  const std::vector<std::string> errors = withMsgid("error");
  ASSERT_EQ(errors.size(), UnattendedRun::kMaxErrorDetailsAtOnce + 1);
  EXPECT_NE(errors.back().find("errors=\"20\" new=\"12\""), std::string::npos)
      << errors.back();
}

TEST_F(UnattendedRunTest, APreTestFindingFailsTheRunWithoutErrors) {
  findings.preTest = true;
  auto run = makeRun();
  run->fullTestingBegins();
  ConsoleCapture console;
  EXPECT_FALSE(run->finish());
  EXPECT_NE(console.take().find("VERDICT: FAIL"), std::string::npos);
}

TEST_F(UnattendedRunTest, LostEventsAreCountedAndShownAndTheRunGoesOn) {
  auto run = makeRun();
  run->postStart();
  run->fullTestingBegins();
  failing = true;  // the network is gone
  EXPECT_EQ(runTests(*run, 7), 9);
  ConsoleCapture console;
  run->finish();
  EXPECT_NE(console.take().find(
                " Events that could not be sent to the collector: 7.\n\r"),
            std::string::npos);
}

TEST_F(UnattendedRunTest, EventsWaitForTheLeaseAndTheMachineNameFallsBack) {
  start.identity.serial.clear();
  dhcp.leaseFromCall = 3;
  auto run = makeRun();
  run->postStart();  // no lease yet: the start event waits
  run->fullTestingBegins();
  EXPECT_TRUE(datagrams.empty());
  runTests(*run, 1, 3);
  ASSERT_FALSE(withMsgid("start").empty());
  // No serial number: the address names the machine, in the events that
  // waited for the lease too.
  EXPECT_NE(withMsgid("start")[0].find(" 10.99.0.50 cellcheck "),
            std::string::npos);
}

TEST_F(UnattendedRunTest, NoLogServerFromDhcpCountsEveryEventAsUnsent) {
  dhcp.given.logServer.clear();
  auto run = makeRun();
  run->postStart();
  run->fullTestingBegins();
  runTests(*run, 7);
  EXPECT_TRUE(datagrams.empty());
  EXPECT_EQ(run->events().unsent(), 8u);  // start and 7 progress events
}

TEST_F(UnattendedRunTest, ATimedRunWithoutSyslogShowsOnlyTheVerdict) {
  start.options.syslog = false;
  auto run = makeRun();
  run->postStart();
  run->fullTestingBegins();
  runTests(*run, 30);
  ConsoleCapture console;
  run->finish();
  const std::string shown = console.take();
  EXPECT_NE(shown.find("VERDICT: PASS"), std::string::npos);
  EXPECT_EQ(shown.find("Events"), std::string::npos);
  EXPECT_EQ(dhcp.calls, 0);
  EXPECT_TRUE(datagrams.empty());
}

}  // namespace
