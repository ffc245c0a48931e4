// The test schedule: a fixed opening sequence that ends in a speed score,
// then batches of decay, copy and random bank tests that grow by a factor of
// 1.4, for ever, with the progress line before every test. The order of the
// timed stretch's tests and of a batch's is app/test_order.h, which the
// estimate of full testing's time counts as well. Between tests
// (never inside one) it takes the one step between tests
// (app/between_tests.h), which may end an unattended run. Written for any
// tester type with the members it calls, so tests can run it against a
// recording tester and a fake clock; the program runs it on its global
// console tester with the real clock.
#ifndef CELLCHECK_APP_SCHEDULE_H_
#define CELLCHECK_APP_SCHEDULE_H_

#include <cstdint>

#include "app/dry_run.h"
#include "app/test_order.h"
#include "base/between_tests_work.h"
#include "base/cprintf.h"
#include "console/full_testing_estimate.h"
#include "console/progress_line.h"
#include "run/run_facts.h"

// The notice that endless testing begins. Its text is
// app/full_testing_notice.inc (C string literals, one a line), which the
// end-to-end tests and the fault lab read as well.
constexpr char kFullTestingNotice[] =
#include "app/full_testing_notice.inc"
    ;
// The fixed seed of the write-speed tests.
constexpr unsigned kWriteSpeedSeed = 45435243;

// `Batch` is full testing's batch (app/test_order.h); tests give another
// one to see the estimate follow it.
template <class Tester, class Batch = FullTestingBatch>
class Schedule : public ScheduleFigures {
 public:
  // `between`, when given, is the step between tests. `watch` and
  // `temperatures`, when given, show the bad-memory summary and the highest
  // temperatures with the progress line's summaries.
  Schedule(Tester& tester, Clock now, BetweenTestsWork* between = nullptr,
           BadMemoryWatch* watch = nullptr,
           TemperatureWatch* temperatures = nullptr)
      : tester_(tester),
        now_(now),
        between_(between),
        progress_(tester.errorCount, now, watch, temperatures) {}

  // The opening sequence, once: a random bank test (bank B equal to bank A
  // after the pre-test gave each its own data), the write-speed tests, the
  // timed quick and copy tests, the speed score and the notice that full
  // testing begins; the generator is then reseeded from the clock.
  void runOpening();

  // One batch of `size`; returns the next batch's size, or 0 when the step
  // between tests ended the run before one of its tests.
  uint64_t runBatch(uint64_t size) {
    const auto beforeEachTest = [this] {
      if (between_ != nullptr && !between_->betweenTests()) return false;
      showProgress();
      return true;
    };
    return Batch::run(tester_, size, beforeEachTest) ? Batch::nextSize(size)
                                                     : 0;
  }

  // The progress line's "Summary:" lines so far.
  int summariesShown() const override { return progress_.summariesShown(); }

  // Seconds full testing needs to reach 100 % coverage at the speed the
  // opening measured: 0 until the opening has run.
  double secondsToFullCoverage() const override { return secondsTo100_; }

  // The opening, then batches until the step between tests ends the run
  // (only an unattended run's limit does), and returns then: the test before
  // has finished. Without a limit it never returns: the machine is switched
  // off to end testing.
  void run() {
    runOpening();
    if (between_ != nullptr) between_->fullTestingBegins();
    for (uint64_t size = kFirstBatchSize; size != 0;) size = runBatch(size);
  }

 private:
  // Between the opening's tests: it always runs whole (an unattended run's
  // limit counts from the notice that full testing begins).
  void betweenOpeningTests() {
    if (between_ != nullptr) between_->betweenTests();
  }
  void showProgress() {
    progress_.printStats(tester_.percentCoverage(),
                         static_cast<int>(tester_.errorCount), '#');
  }
  // The march over both banks against the values each word should hold,
  // which the bank-against-bank tests never check, and its line.
  void runExpectedValueSweep() {
    const time_t began = now_();
    const u64 wrong = tester_.runMarchSweep();
    const long long seconds = static_cast<long long>(now_() - began);
    if (wrong == 0) {
      cprintf("\n\r Sweep against expected values: no errors in %lld s.",
              seconds);
    } else {
      cprintf("\n\r Sweep against expected values: %llu wrong words in %lld s.",
              static_cast<unsigned long long>(wrong), seconds);
    }
  }
  // The timed stretch's lines.
  static void say(const char* text) { cprintf("%s", text); }
  static void say(const char* format, int number) { cprintf(format, number); }
  void printSpeedScore(uint32_t startTime);

  Tester& tester_;
  Clock now_;
  BetweenTestsWork* between_;
  ProgressLine progress_;
  double secondsTo100_ = 0;
};

template <class Tester, class Batch>
void Schedule<Tester, Batch>::runOpening() {
  // What start-up found (the early check, the pre-test) is shown at once.
  betweenOpeningTests();
  runExpectedValueSweep();
  betweenOpeningTests();
  tester_.runTestBanksAllRand();
  tester_.seedRand(kWriteSpeedSeed);
  cprintf("\n\r Running fast write tests...");
  // Lags 0, 255, 254, ..., 1, forty times over.
  for (uint64_t n = 10240; n >= 1; --n) {
    tester_.testWriteSpeed(n % 256);
    // The opening has no progress lines; its steps between tests come
    // after every 256 of these short tests, and after each test below.
    if (n % 256 == 0) betweenOpeningTests();
  }

  cprintf("\n\r Running quick serial tests 0..9:\n");
  const uint32_t startTime = static_cast<uint32_t>(now_());
  runTimedStretch(
      tester_,
      [](const char* format, auto... values) { say(format, values...); },
      [this] { betweenOpeningTests(); });
  printSpeedScore(startTime);

  cprintf(
      "\n\rBaseline = 100 (Phenom 9750 2.4GHz, DDR2 5300; 200 would mean "
      "your machine is\n\rtwice as fast). Use this to see if overclocking "
      "has sped up this computer, OR \n\rhow much faster it is than a "
      "typical 2009 system.");
  cprintf("%s", kFullTestingNotice);
  tester_.seedRand(static_cast<unsigned>(now_()));
  progress_.setStartTime(static_cast<uint32_t>(now_()));
}

template <class Tester, class Batch>
void Schedule<Tester, Batch>::printSpeedScore(uint32_t startTime) {
  // Words of one bank per second over the timed stretch, scaled so that
  // the reference machine scores 100. The same second at both ends gives
  // an infinite score, which prints as such.
  const int64_t elapsed =
      static_cast<int64_t>(now_()) - static_cast<int64_t>(startTime);
  const double score = static_cast<double>(tester_.wordsPerBank) /
                       static_cast<double>(elapsed) / 26800.0;
  cprintf("\n\r\n\r Cellcheck Ratemark64 (mixed CPU/RAM benchmark): %.1f",
          score);
  // Users ask when a complete test will be done: the batches' copy and
  // random bank tests take what the same tests took here.
  secondsTo100_ = ::secondsToFullCoverage<Batch>(tester_.passCount, elapsed);
  cprintf("\n\r %s", fullTestingEstimateLine(secondsTo100_).c_str());
}

#endif  // CELLCHECK_APP_SCHEDULE_H_
