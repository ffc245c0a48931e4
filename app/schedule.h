// The test schedule: a fixed opening sequence that ends in a speed score,
// then batches of decay, copy and random bank tests that grow by a factor of
// 1.4, for ever, with the progress line before every test. Between tests
// (never inside one) it takes the one step between tests
// (app/between_tests.h), which may end an unattended run. Written for any
// tester type with the members it calls, so tests can run it against a
// recording tester and a fake clock; the program runs it on its global
// console tester with the real clock.
#ifndef CELLCHECK_APP_SCHEDULE_H_
#define CELLCHECK_APP_SCHEDULE_H_

#include <cstdint>

#include "base/between_tests_work.h"
#include "base/cprintf.h"
#include "console/full_testing_estimate.h"
#include "console/progress_line.h"

// The first batch's size; each next one is 1.4 times it, truncated.
constexpr uint64_t kFirstBatchSize = 10;
// A batch runs at most this many decay tests, however large it grows.
constexpr uint64_t kMaxDecayTestsPerBatch = 100;
// The notice that endless testing begins. Its text is
// app/full_testing_notice.inc (C string literals, one a line), which the
// end-to-end tests and the fault lab read as well.
constexpr char kFullTestingNotice[] =
#include "app/full_testing_notice.inc"
    ;
// The fixed seed of the write-speed tests.
constexpr unsigned kWriteSpeedSeed = 45435243;

template <class Tester>
class Schedule {
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
  uint64_t runBatch(uint64_t size);

  // Never returns: the machine is switched off to end testing. The step
  // between tests holds no limit then.
  [[noreturn]] void runForever() {
    runOpening();
    if (between_ != nullptr) between_->fullTestingBegins();
    for (uint64_t size = kFirstBatchSize;;) size = runBatch(size);
  }

  // The progress line's "Summary:" lines so far.
  int summariesShown() const { return progress_.summariesShown(); }

  // The same schedule until the step between tests ends the run; returns
  // then (the test before has finished).
  // Seconds full testing needs to reach 100 % coverage at the speed the
  // opening measured: 0 until the opening has run.
  double secondsToFullCoverage() const { return secondsTo100_; }

  void runUntilEnded() {
    runOpening();
    if (between_ != nullptr) between_->fullTestingBegins();
    for (uint64_t size = kFirstBatchSize; size != 0;) size = runBatch(size);
  }

 private:
  // Before each test of a batch: false when the step ends the run.
  bool goOn() { return between_ == nullptr || between_->betweenTests(); }
  // Between the opening's tests: it always runs whole (an unattended run's
  // limit counts from the notice that full testing begins).
  void betweenOpeningTests() {
    if (between_ != nullptr) between_->betweenTests();
  }
  void showProgress() {
    progress_.printStats(tester_.percentCoverage(),
                         static_cast<int>(tester_.errorCount), '#');
  }
  void printSpeedScore(uint32_t startTime);

  Tester& tester_;
  Clock now_;
  BetweenTestsWork* between_;
  ProgressLine progress_;
  double secondsTo100_ = 0;
};

template <class Tester>
void Schedule<Tester>::runOpening() {
  // What start-up found (the early check, the pre-test) is shown at once.
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
  for (int i = 0; i < 10; ++i) {
    tester_.runTestBanksAllRand();
    cprintf("\r Finished quick test %i.", i);
    betweenOpeningTests();
  }
  cprintf("\n\r Running copy tests 0..19:\n\r\n\r");
  for (int j = 0; j < 20; ++j) {
    tester_.runCopyTest();
    tester_.runCopyTestB();
    cprintf("\r Finished copy test %i", j);
    // The copy tests leave the banks equal only at a displacement; a
    // random bank test after each group of five makes them equal again.
    if (j % 5 == 4) tester_.runTestBanksAllRand();
    betweenOpeningTests();
  }
  cprintf("\n\r Cleaning up...");
  tester_.runTestBanksAllRand();
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

template <class Tester>
void Schedule<Tester>::printSpeedScore(uint32_t startTime) {
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
  secondsTo100_ = ::secondsToFullCoverage(tester_.passCount, elapsed);
  cprintf("\n\r %s", fullTestingEstimateLine(secondsTo100_).c_str());
}

template <class Tester>
uint64_t Schedule<Tester>::runBatch(uint64_t size) {
  const uint64_t decayTests =
      size < kMaxDecayTestsPerBatch ? size : kMaxDecayTestsPerBatch;
  for (uint64_t k = 0; k < decayTests; ++k) {
    if (!goOn()) return 0;
    showProgress();
    tester_.runDecayTest();
  }
  // The decay tests count no pass of their own; the batch counts one.
  ++tester_.passCount;
  for (uint64_t r = size; r >= 1; --r) {
    if (!goOn()) return 0;
    showProgress();
    tester_.runCopyTest();
    if (!goOn()) return 0;
    showProgress();
    tester_.runCopyTestB();
    if (r % 8 == 4) {
      if (!goOn()) return 0;
      showProgress();
      tester_.runTestBanksAllRand();
    }
  }
  // The next batch's decay tests need bank B equal to bank A again.
  if (!goOn()) return 0;
  showProgress();
  tester_.runTestBanksAllRand();
  return static_cast<uint64_t>(static_cast<double>(size) * 1.4);
}

#endif  // CELLCHECK_APP_SCHEDULE_H_
