#include "app/between_tests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/bad_memory_watch.h"
#include "console/cellchecker_dos.h"
#include "console/ecc_watch.h"
#include "console/machine_check_watch.h"
#include "tests/support/console_capture.h"
#include "tests/support/fake_edac.h"
#include "tests/support/fake_kernel.h"
#include "tests/support/fixed_addresses.h"

namespace {

// Notes in a shared list when each call reaches it.
class NotingWork : public BetweenTestsWork {
 public:
  NotingWork(std::string name, std::vector<std::string>* notes,
             bool goOn = true)
      : name_(std::move(name)), notes_(notes), goOn_(goOn) {}
  bool betweenTests() override {
    notes_->push_back(name_);
    return goOn_;
  }
  void fullTestingBegins() override { notes_->push_back(name_ + " begins"); }
  void lastLook() override { notes_->push_back(name_ + " last"); }

 private:
  std::string name_;
  std::vector<std::string>* notes_;
  bool goOn_;
};

TEST(BetweenTestsTest, RunsEachPlaceInItsOrderWhateverOrderTheyWerePut) {
  std::vector<std::string> notes;
  NotingWork limit("limit", &notes, false);
  NotingWork summary("summary", &notes);
  NotingWork machineChecks("machine checks", &notes);
  NotingWork events("events", &notes);
  NotingWork ecc("ecc", &notes);
  BetweenTests step;
  step.put(BetweenTests::kLimit, &limit);
  step.put(BetweenTests::kSummary, &summary);
  step.put(BetweenTests::kMachineChecks, &machineChecks);
  step.put(BetweenTests::kEvents, &events);
  step.put(BetweenTests::kEcc, &ecc);
  // The limit ends the run, once the rest has run.
  EXPECT_FALSE(step.betweenTests());
  EXPECT_EQ(notes, (std::vector<std::string>{"machine checks", "ecc", "summary",
                                             "events", "limit"}));
  notes.clear();
  step.fullTestingBegins();
  step.lastLook();
  EXPECT_EQ(notes.size(), 10u);
  EXPECT_EQ(notes[0], "machine checks begins");
  EXPECT_EQ(notes[9], "limit last");

  notes.clear();
  step.put(BetweenTests::kLimit, nullptr);
  EXPECT_TRUE(step.betweenTests()) << "without a limit, testing goes on";
}

// The program's pieces in their places: a machine check caught during the
// last test and an ECC count that grew come each with their lines, and the
// bad-memory summary follows them, naming both.
TEST(BetweenTestsTest, TheSummaryFollowsWhatTheWatchesFound) {
  FakeKernel kernel;
  putEdacController(
      kernel, "mc0", "Skylake Socket#0 IMC#0", "0\n", "0\n",
      {{"dimm0", "A1\n", "channel 0 slot 0 \n", "S4ECD4ED\n", "0\n", "0\n"}});
  time_t now = 1000;
  const Clock clock = [&now] { return now; };
  BadMemory record;
  FixedAddresses addresses;
  BadMemoryWatch watch(record, addresses, clock);
  CellcheckerDos tester;
  tester.passCount = 60;
  MemoryFaultLog faults;
  MachineCheckWatch machineChecks(faults, tester, record);
  EccWatch ecc(kernel, record, clock);
  {
    ConsoleCapture quiet;
    ecc.start();
  }
  BetweenTests step;
  step.put(BetweenTests::kMachineChecks, &machineChecks);
  step.put(BetweenTests::kEcc, &ecc);
  step.put(BetweenTests::kSummary, &watch);

  ConsoleCapture console;
  EXPECT_TRUE(step.betweenTests());
  EXPECT_EQ(console.take(), "") << "nothing found yet";
  faults.add(MemoryFault{0x7fd6b8871000, 4096, 0x6019000, false});
  putEdacFile(kernel, "mc0/dimm0/dimm_ce_count", "2\n");
  now += EccWatch::kSecondsBetweenLooks;
  EXPECT_TRUE(step.betweenTests());
  const std::string shown = console.take();
  const size_t machineCheck = shown.find("Uncorrected memory error");
  const size_t eccLine = shown.find("ECC: memory module A1");
  const size_t summary = shown.find("\n\rBad memory: 0 errors named 1 suspect");
  ASSERT_NE(summary, std::string::npos) << shown;
  EXPECT_LT(machineCheck, eccLine);
  EXPECT_LT(eccLine, summary);
  EXPECT_NE(shown.find("ECC errors by memory module", summary),
            std::string::npos)
      << shown;
  EXPECT_EQ(shown.find("Bad memory:", summary + 3), std::string::npos)
      << "one summary for both";
}

}  // namespace
