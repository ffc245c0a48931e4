// The progress line of endless testing: coverage, error count, a 50-cell bar
// for the coverage within the current hundred percent and a spinner,
// rewritten in place before every test. Each time the coverage passes a
// whole hundred percent the old line stays on the screen and a new one
// begins; every tenth such turn (the first at 500 %) prints a summary with
// the hours tested first, the highest temperatures beside it, and the
// bad-memory summary after them. A summary held back for its minute gets
// its chance in the step between tests.
#ifndef CELLCHECK_CONSOLE_PROGRESS_LINE_H_
#define CELLCHECK_CONSOLE_PROGRESS_LINE_H_

#include <cstdint>

#include "base/clock.h"

class BadMemoryWatch;
class TemperatureWatch;

class ProgressLine {
 public:
  // `summaryErrors` is the tester's own error count, which the summary line
  // reports; `now` is the clock it reads the hours from; `watch`, when
  // given, shows the bad-memory summary; `temperatures`, when given, the
  // highest temperatures beside the summary line.
  ProgressLine(const uint32_t& summaryErrors, Clock now,
               BadMemoryWatch* watch = nullptr,
               TemperatureWatch* temperatures = nullptr);

  // When endless testing began, in seconds since the epoch (low 32 bits).
  void setStartTime(uint32_t startTime) { startTime_ = startTime; }

  // Shows `coverage` percent and `errors`, the bar filled with `fill`.
  void printStats(float coverage, int errors, char fill);

  // The "Summary:" lines shown so far.
  int summariesShown() const { return summariesShown_; }

 private:
  const uint32_t& summaryErrors_;
  Clock now_;
  BadMemoryWatch* watch_;
  TemperatureWatch* temperatures_;
  uint32_t startTime_ = 0;
  // Coverage percent modulo 100 shown last; above any real value at first,
  // so the first line counts as a turn.
  int oldI_ = 101;
  int toggler_ = 0;  // spinner phase, 0 or 1
  // Turns seen, offset so that the sixth turn prints the first summary.
  int summaryCycle_ = -5;
  int summariesShown_ = 0;
};

#endif  // CELLCHECK_CONSOLE_PROGRESS_LINE_H_
