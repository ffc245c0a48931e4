// The one step between tests. Everything that is not a test runs here,
// never inside a test's loop: the schedule takes this step before every
// test of the batches and, in the opening, before its first test, after
// every 256th write-speed test, after each quick test and after each copy
// pair. (An error found inside a test has one hook of its own, on the error
// path: CellcheckerDos::showFirst.)
//
// Each place of the list holds one piece of work or nothing, and the places
// run in this order, for these reasons:
//   kMachineChecks  what the fault guard caught during the last test: an
//                   error of its own, shown first, since what follows may
//                   stem from it;
//   kEcc            the memory controllers' counts (at most every 10 s):
//                   lines of their own, and the record grows;
//   kTemperatures   the processors' and memory modules' sensors (at most
//                   every 10 s): the highest reading of each, and a line
//                   for a module that reached its critical limit; never
//                   a reason to stop;
//   kSummary        the bad-memory summary when the record grew: after
//                   everything above, which feeds the record;
//   kBeep           the tone at the first bad memory, once the screen
//                   shows it (and its end, in a later step);
//   kEvents         an unattended run's events: after the screen, so that
//                   they carry the figures the screen shows;
//   kReport         the report on the boot stick: after the screen (it
//                   keeps the screen's lines) and the events, from the
//                   same findings;
//   kLimit          last: an unattended run's time or coverage, which may
//                   end the run, once everything found has been shown and
//                   sent.
// The progress line comes after the step, right before the test it
// announces.
#ifndef CELLCHECK_APP_BETWEEN_TESTS_H_
#define CELLCHECK_APP_BETWEEN_TESTS_H_

#include "base/between_tests_work.h"

class BetweenTests : public BetweenTestsWork {
 public:
  enum Place {
    kMachineChecks,
    kEcc,
    kTemperatures,
    kSummary,
    kBeep,
    kEvents,
    kReport,
    kLimit,
    kPlaces,
  };

  // Puts `work` in its place (null empties it).
  void put(Place place, BetweenTestsWork* work) { work_[place] = work; }

  // Every piece in order; false when one of them ends the run (the rest of
  // the list has still run: only the limit, the last, ends it).
  bool betweenTests() override {
    bool goOn = true;
    for (BetweenTestsWork* work : work_) {
      if (work != nullptr && !work->betweenTests()) goOn = false;
    }
    return goOn;
  }
  void fullTestingBegins() override {
    for (BetweenTestsWork* work : work_) {
      if (work != nullptr) work->fullTestingBegins();
    }
  }
  void lastLook() override {
    for (BetweenTestsWork* work : work_) {
      if (work != nullptr) work->lastLook();
    }
  }

 private:
  BetweenTestsWork* work_[kPlaces] = {};
};

#endif  // CELLCHECK_APP_BETWEEN_TESTS_H_
