#include "app/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <regex>
#include <string>
#include <vector>

#include "app/between_tests.h"
#include "console/bad_memory_watch.h"
#include "tester/cellchecker.h"
#include "tests/support/console_capture.h"
#include "tests/support/fixed_addresses.h"

namespace {

// Stands in for the tester: counts passes as the real tests do and marks
// each test on the console as "<X>", so the transcript shows the tests
// between the schedule's own lines and progress lines.
struct ScheduleRecorder {
  u32 errorCount = 0;
  u64 passCount = 1;  // the pre-test's pass
  u64 wordsPerBank = 2143158272;
  std::vector<u64> lags;
  std::vector<unsigned> seeds;

  float percentCoverage() const { return coverageOf(passCount); }
  void runTestBanksAllRand() { count("<R>"); }
  void runCopyTest() { count("<A>"); }
  void runCopyTestB() { count("<B>"); }
  void runDecayTest() { cprintf("<D>"); }
  // The tests against expected values count no pass.
  u64 runMarchSweep() {
    cprintf("<M>");
    return 0;
  }
  u64 runComplementTest() {
    cprintf("<C>");
    return 0;
  }
  void testWriteSpeed(u64 lag) {
    lags.push_back(lag);
    cprintf("<W>");
  }
  void seedRand(unsigned seed) {
    seeds.push_back(seed);
    cprintf("<S>");
  }

 private:
  void count(const char* mark) {
    ++passCount;
    cprintf("%s", mark);
  }
};

// The transcript of batches with every progress line as "P" and every test
// as its letter; anything else between the tests shows as "?".
std::string trace(const std::string& transcript) {
  static const std::regex progress(
      "(\r|\b \n|\n\rSummary: [^\r]*\n\r) *[0-9]+% coverage, +[0-9]+ errors "
      "\\[[#-]{50}\\][/\\\\]");
  std::string out;
  size_t at = 0;
  while (at < transcript.size()) {
    const size_t mark = transcript.find('<', at);
    const std::string between = transcript.substr(at, mark - at);
    if (!between.empty()) {
      out += std::regex_match(between, progress) ? "P" : "?";
    }
    if (mark == std::string::npos) break;
    out += transcript[mark + 1];
    at = mark + 3;
  }
  return out;
}

std::string repeat(const std::string& piece, u64 times) {
  std::string out;
  for (u64 i = 0; i < times; ++i) out += piece;
  return out;
}

// A clock that gives the scripted seconds in turn, then the last one again.
class ScheduleTest : public ::testing::Test {
 protected:
  ScheduleRecorder tester;
  // The march sweep reads the clock twice, then the timed stretch.
  std::deque<time_t> times{900, 903, 1000, 1100, 5000, 5001};
  Schedule<ScheduleRecorder> schedule{tester, [this] {
                                        const time_t t = times.front();
                                        if (times.size() > 1) times.pop_front();
                                        return t;
                                      }};
  ConsoleCapture console;
};

// The speed score's baseline note, then the notice that testing begins.
const std::string kNotice =
    std::string(
        "\n\rBaseline = 100 (Phenom 9750 2.4GHz, DDR2 5300; 200 would mean "
        "your machine is\n\rtwice as fast). Use this to see if overclocking "
        "has sped up this computer, OR \n\rhow much faster it is than a "
        "typical 2009 system.") +
    kFullTestingNotice;

TEST_F(ScheduleTest, OpeningSequenceRunsInOrderAndScoresTheTimedStretch) {
  schedule.runOpening();

  std::string quick, copies;
  for (int i = 0; i < 10; ++i) {
    quick += "<R>\r Finished quick test " + std::to_string(i) + ".";
  }
  for (int j = 0; j < 20; ++j) {
    copies += "<A><B>\r Finished copy test " + std::to_string(j);
    if (j % 5 == 4) copies += "<R>";
  }
  EXPECT_EQ(console.take(),
            "<M>\n\r Sweep against expected values: no errors in 3 s.<R><S>"
            "\n\r Running fast write tests..." +
                repeat("<W>", 10240) +
                "\n\r Running quick serial tests 0..9:\n" + quick +
                "\n\r Running copy tests 0..19:\n\r\n\r" + copies +
                "\n\r Cleaning up...<R>"
                // 2,143,158,272 words in 100 s
                "\n\r\n\r Cellcheck Ratemark64 (mixed CPU/RAM benchmark): "
                "799.7"
                // 1942 copy, random bank and complement tests to 100 %, at 100
                // s for 55
                "\n\r Full testing reaches 100 % coverage in about 59 min at "
                "this speed." +
                kNotice + "<S>");
  EXPECT_NEAR(schedule.secondsToFullCoverage(), 1942 * 100.0 / 55, 1e-6);

  ASSERT_EQ(tester.lags.size(), 10240u);
  EXPECT_EQ((std::vector<u64>(tester.lags.begin(), tester.lags.begin() + 3)),
            (std::vector<u64>{0, 255, 254}));
  EXPECT_EQ((std::vector<u64>(tester.lags.end() - 2, tester.lags.end())),
            (std::vector<u64>{2, 1}));
  EXPECT_EQ(std::count(tester.lags.begin(), tester.lags.end(), 0u), 40);
  // The write-speed tests' fixed seed, then the clock after the notice.
  EXPECT_EQ(tester.seeds, (std::vector<unsigned>{45435243, 5000}));
  EXPECT_EQ(tester.passCount, 57u);
}

TEST_F(ScheduleTest, NoTimeElapsedGivesAnInfiniteScoreAndGoesOn) {
  times = {900, 903, 1000, 1000, 5000, 5001};
  schedule.runOpening();
  // The estimate counts the stretch as one second.
  EXPECT_NE(console.take().find("(mixed CPU/RAM benchmark): inf\n\r Full "
                                "testing reaches 100 % coverage in about 35 s "
                                "at this speed.\n\rBaseline"),
            std::string::npos);
  EXPECT_EQ(tester.seeds.back(), 5000u);
}

TEST_F(ScheduleTest, FirstTwoBatchesFollowTheWorkedExample) {
  schedule.runOpening();
  console.take();
  tester.errorCount = 2;

  EXPECT_EQ(schedule.runBatch(kFirstBatchSize), 14u);
  const std::string first = console.take();
  // The first line shows 57 passes as 3 % and the errors found so far.
  const std::string firstLine =
      "\b \n    3% coverage,  2 errors [##" + std::string(48, '-') + "]/<D>";
  EXPECT_EQ(first.substr(0, firstLine.size()), firstLine);
  EXPECT_EQ(trace(first), repeat("PD", 10) + repeat("PAPB", 6) + "PAPBPR" +
                              repeat("PAPB", 3) + "PCPR");
  EXPECT_EQ(tester.passCount, 80u);

  EXPECT_EQ(schedule.runBatch(14), 19u);
  EXPECT_EQ(trace(console.take()), repeat("PD", 14) + repeat("PAPB", 2) +
                                       "PAPBPR" + repeat("PAPB", 7) + "PAPBPR" +
                                       repeat("PAPB", 3) + "PCPR");
  EXPECT_EQ(tester.passCount, 112u);
}

TEST_F(ScheduleTest, BatchesGrowByFourTenthsWithTheDecayTestsCapped) {
  const std::vector<u64> sizes{10,  14,  19,  26,  36,  50,   70,   98,  137,
                               191, 267, 373, 522, 730, 1021, 1429, 2000};
  tester.passCount = 57;  // as after the opening sequence
  u64 size = kFirstBatchSize;
  for (size_t k = 0; k < sizes.size(); ++k) {
    ASSERT_EQ(size, sizes[k]);
    const u64 passesBefore = tester.passCount;
    const u64 next = schedule.runBatch(size);
    const std::string shown = trace(console.take());
    const u64 decay = std::count(shown.begin(), shown.end(), 'D');
    const u64 random = std::count(shown.begin(), shown.end(), 'R');
    const u64 copies = std::count(shown.begin(), shown.end(), 'A');
    EXPECT_EQ(decay, size < 137 ? size : 100) << size;
    EXPECT_EQ(copies, size) << size;
    EXPECT_EQ(random, (size + 4) / 8 + 1) << size;
    EXPECT_EQ(std::count(shown.begin(), shown.end(), 'C'), 1) << size;
    EXPECT_EQ(std::count(shown.begin(), shown.end(), 'P'),
              static_cast<long>(decay + 2 * copies + random + 1));
    EXPECT_EQ(shown.find('?'), std::string::npos);
    EXPECT_EQ(tester.passCount - passesBefore, 2 * size + (size + 4) / 8 + 2);
    // 100 % coverage is 2000 passes, reached in the eleventh batch.
    if (size == 267) {
      EXPECT_LT(passesBefore, 2000u);
      EXPECT_GE(tester.passCount, 2000u);
    }
    size = next;
  }
  EXPECT_EQ(size, 2800u);
}

TEST_F(ScheduleTest, ExtraRandomBankTestsFollowTheCopyPairsOfFourModEight) {
  schedule.runBatch(20);
  const std::string shown = trace(console.take());
  const std::string copyPart = shown.substr(shown.find("PA"));
  // r = 20 down to 1: after r = 20, 12 and 4.
  EXPECT_EQ(copyPart, "PAPBPR" + repeat("PAPB", 7) + "PAPBPR" +
                          repeat("PAPB", 7) + "PAPBPR" + repeat("PAPB", 3) +
                          "PCPR");
}

// A limit: ends the run before the `stopAt`-th test of full testing, and
// keeps what the console showed until full testing began.
struct StoppingLimit : BetweenTestsWork {
  int stopAt = 0;
  int questions = 0;
  int begins = 0;
  std::string* transcript = nullptr;
  ConsoleCapture* console = nullptr;
  void fullTestingBegins() override {
    ++begins;
    // Told right after the notice, before the first progress line.
    *transcript = console->take();
  }
  bool betweenTests() override { return begins == 0 || ++questions < stopAt; }
};

// Marks each step on the console as "<H>".
struct MarkingWork : BetweenTestsWork {
  int steps = 0;
  bool betweenTests() override {
    ++steps;
    cprintf("<H>");
    return true;
  }
};

TEST_F(ScheduleTest, TheLimitEndsTheRunBetweenTestsOnly) {
  for (int stopAt : {1, 2, 11, 25, 40}) {
    SCOPED_TRACE(stopAt);
    ScheduleRecorder recorder;
    std::deque<time_t> clock{900, 903, 1000, 1100, 5000};
    std::string opening;
    StoppingLimit control;
    control.stopAt = stopAt;
    control.transcript = &opening;
    control.console = &console;
    Schedule<ScheduleRecorder> timed(
        recorder,
        [&clock] {
          const time_t t = clock.front();
          if (clock.size() > 1) clock.pop_front();
          return t;
        },
        &control);
    timed.run();
    EXPECT_EQ(control.begins, 1);
    const std::string noticeEnd = "reported immediately.\n\r<S>";
    ASSERT_GE(opening.size(), noticeEnd.size());
    EXPECT_EQ(opening.substr(opening.size() - noticeEnd.size()), noticeEnd);
    // Each test whole, as the untimed schedule runs them, then nothing.
    const std::string untimed = repeat("PD", 10) + repeat("PAPB", 6) +
                                "PAPBPR" + repeat("PAPB", 3) + "PCPR" +
                                repeat("PD", 14);
    EXPECT_EQ(trace(console.take()), untimed.substr(0, 2 * (stopAt - 1)));
    EXPECT_EQ(control.questions, stopAt);
  }
}

// The step between tests runs between tests only: before every test of the
// endless part (its limit last), and in the opening before the first test,
// after every 256th write-speed test, after each quick test and after each
// copy pair. Its mark "<H>" shows where it ran.
TEST_F(ScheduleTest, TheStepComesBetweenTestsOnly) {
  std::string opening;
  MarkingWork marks;
  StoppingLimit limit;
  limit.stopAt = 8;
  limit.transcript = &opening;
  limit.console = &console;
  BetweenTests step;
  step.put(BetweenTests::kMachineChecks, &marks);
  step.put(BetweenTests::kLimit, &limit);
  Schedule<ScheduleRecorder> stepped(
      tester,
      [this] {
        const time_t t = times.front();
        if (times.size() > 1) times.pop_front();
        return t;
      },
      &step);
  stepped.run();
  EXPECT_EQ(trace(opening).substr(0, 9), "HM?HRS?WH");
  const std::string writes = trace(opening);
  const std::string quickAndCopies = writes.substr(writes.find("W?R") + 1);
  EXPECT_EQ(std::count(quickAndCopies.begin(), quickAndCopies.end(), 'H'),
            10 + 20);
  // Before and after the march sweep, after every 256th write-speed test,
  // each quick test and each copy pair.
  const int openingSteps = 2 + 40 + 10 + 20;
  EXPECT_EQ(trace(console.take()), "HPDHPDHPDHPDHPDHPDHPDH");
  EXPECT_EQ(marks.steps, openingSteps + limit.stopAt);
}

// Batches other than full testing's, as a change to the batch would make
// them: one more random bank test at the end; only copy pairs, without the
// batch's own pass; batches that grow by one.
struct OneMoreRandomBankTest : FullTestingBatch {
  template <class Tester, class Before>
  static bool run(Tester& tester, u64 size, Before&& before) {
    if (!FullTestingBatch::run(tester, size, before) || !before()) {
      return false;
    }
    tester.runTestBanksAllRand();
    return true;
  }
};
struct CopyPairsOnly : FullTestingBatch {
  template <class Tester, class Before>
  static bool run(Tester& tester, u64 size, Before&& before) {
    for (u64 r = size; r >= 1; --r) {
      if (!before()) return false;
      tester.runCopyTest();
      if (!before()) return false;
      tester.runCopyTestB();
    }
    return true;
  }
};
struct GrowingByOne : FullTestingBatch {
  static u64 nextSize(u64 size) { return size + 1; }
};

// Ends the run before the first test of full testing that would start at
// 100 % coverage or more, and keeps what full testing showed until then.
struct UntilFullCoverage : BetweenTestsWork {
  const ScheduleRecorder* tester = nullptr;
  ConsoleCapture* console = nullptr;
  bool begun = false;
  void fullTestingBegins() override {
    begun = true;
    console->take();
  }
  bool betweenTests() override {
    return !begun || coverageOf(tester->passCount) < 100;
  }
};

struct EstimateAndRun {
  double estimate;  // seconds, as the opening showed them
  u64 blockTests;   // copy, random bank and complement tests to 100 %
};

// The opening, with 100 s for the timed stretch, then full testing in
// batches of `Batch` until 100 % coverage.
template <class Batch>
EstimateAndRun estimateAndRunTo100Percent() {
  ScheduleRecorder tester;
  ConsoleCapture console;
  UntilFullCoverage limit;
  limit.tester = &tester;
  limit.console = &console;
  std::deque<time_t> clock{900, 903, 1000, 1100, 5000};
  Schedule<ScheduleRecorder, Batch> schedule(
      tester,
      [&clock] {
        const time_t t = clock.front();
        if (clock.size() > 1) clock.pop_front();
        return t;
      },
      &limit);
  schedule.run();
  const std::string shown = trace(console.take());
  EXPECT_EQ(shown.find('?'), std::string::npos);
  const u64 blockTests = std::count(shown.begin(), shown.end(), 'A') +
                         std::count(shown.begin(), shown.end(), 'B') +
                         std::count(shown.begin(), shown.end(), 'R') +
                         std::count(shown.begin(), shown.end(), 'C');
  return {schedule.secondsToFullCoverage(), blockTests};
}

// The estimate counts the batch the schedule runs, whatever it holds: each
// copy and random bank test to 100 % costs what one of the timed stretch's
// 55 took (100 s for all of them).
TEST(ScheduleEstimateTest, TheEstimateFollowsTheBatch) {
  const EstimateAndRun full = estimateAndRunTo100Percent<FullTestingBatch>();
  const EstimateAndRun oneMore =
      estimateAndRunTo100Percent<OneMoreRandomBankTest>();
  const EstimateAndRun copies = estimateAndRunTo100Percent<CopyPairsOnly>();
  const EstimateAndRun byOne = estimateAndRunTo100Percent<GrowingByOne>();
  EXPECT_EQ(full.blockTests, 1942u);
  // A test that counts a pass changes the count only through the batches'
  // own passes (here not at all); copy pairs alone change it. A batch's own
  // pass and its complement test, which counts none, balance each other:
  // batches of another growth reach 100 % after as many block tests.
  EXPECT_NE(copies.blockTests, full.blockTests);
  EXPECT_EQ(byOne.blockTests, full.blockTests);
  for (const EstimateAndRun& run : {full, oneMore, copies, byOne}) {
    SCOPED_TRACE(run.blockTests);
    EXPECT_NEAR(run.estimate, static_cast<double>(run.blockTests) * 100 / 55,
                1e-6);
  }
}

// A recorder whose write-speed tests each take a second.
struct TickingRecorder : ScheduleRecorder {
  time_t* now = nullptr;
  void testWriteSpeed(u64 lag) {
    ScheduleRecorder::testWriteSpeed(lag);
    ++*now;
  }
};

// The opening has no progress lines: a bad-memory summary held back for its
// minute is shown by its steps between tests once the minute has ended.
TEST(ScheduleSummaryTest, AHeldBackSummaryIsShownDuringTheOpening) {
  BadMemory record;
  FixedAddresses addresses;
  time_t now = 0;
  BadMemoryWatch watch(record, addresses, [&now] { return now; });
  TickingRecorder tester;
  tester.now = &now;
  Schedule<TickingRecorder> schedule(
      tester, [&now] { return now; }, &watch, &watch);
  ConsoleCapture console;
  record.recordPair(ReportedPair{1, 1, 1, 0, 0x5000, 0x9000});
  watch.poll();  // shown at once
  now = 30;
  record.recordPair(ReportedPair{2, 2, 1, 0, 0x6000, 0xa000});  // held back
  watch.poll();
  console.take();
  schedule.runOpening();
  const std::string shown = console.take();
  const size_t summary = shown.find("\n\rBad memory: 2 errors");
  ASSERT_NE(summary, std::string::npos) << shown.substr(0, 200);
  EXPECT_EQ(shown.find("\n\rBad memory:", summary + 1), std::string::npos);
  // Its minute ends during the write-speed tests: it comes at the first
  // step after that, the one after the 257th of them.
  size_t writes = 0;
  for (size_t at = shown.find("<W>"); at < summary;
       at = shown.find("<W>", at + 1)) {
    ++writes;
  }
  EXPECT_EQ(writes, 257u);
}

}  // namespace
