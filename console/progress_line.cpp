#include "console/progress_line.h"

#include <cstdio>
#include <utility>

#include "base/cprintf.h"
#include "console/bad_memory_watch.h"
#include "console/temperature_watch.h"

namespace {

constexpr int kBarCells = 50;
constexpr char kSpinner[] = "\\/";

}  // namespace

ProgressLine::ProgressLine(const uint32_t& summaryErrors, Clock now,
                           BadMemoryWatch* watch,
                           TemperatureWatch* temperatures)
    : summaryErrors_(summaryErrors),
      now_(std::move(now)),
      watch_(watch),
      temperatures_(temperatures) {}

void ProgressLine::printStats(float coverage, int errors, char fill) {
  const int pct = static_cast<int>(coverage) % 100;
  if (pct < oldI_) {
    const int cycle = summaryCycle_++;
    if (cycle % 10 == 0) {
      const double hours =
          static_cast<double>(static_cast<int64_t>(now_()) -
                              static_cast<int64_t>(startTime_)) /
          3600.0;
      cprintf("\n\rSummary: tested for %.1f hours, with %i errors found.\n\r",
              hours, static_cast<int>(summaryErrors_));
      if (temperatures_ != nullptr) temperatures_->printHighest();
      if (watch_ != nullptr) watch_->printSummary();
      ++summariesShown_;
    } else {
      // The old line's spinner gives way to a blank and the line stays.
      cprintf("\b \n");
    }
  } else {
    cprintf("\r");
  }
  oldI_ = pct;

  // The line is built whole and written at once, so the screen never shows
  // half of it. The longest float and int leave the text well
  // under 128 bytes before the bar.
  char line[256];
  int length = snprintf(line, 128, "%5.f%% coverage, %2d errors [",
                        static_cast<double>(coverage), errors);
  for (int j = 0; j < kBarCells; ++j)
    line[length++] = j <= pct / 2 ? fill : '-';
  line[length++] = ']';
  toggler_ ^= 1;
  line[length++] = kSpinner[toggler_];
  consoleWrite(line, static_cast<size_t>(length));
}
