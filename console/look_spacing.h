// How often a watch reads /sys between tests: the ECC counts and the
// temperature sensors are read at most every few seconds, since a look
// costs file reads and the steps between tests come many times a second
// in the opening; before a verdict the watch looks whatever the spacing.
#ifndef CELLCHECK_CONSOLE_LOOK_SPACING_H_
#define CELLCHECK_CONSOLE_LOOK_SPACING_H_

#include <ctime>
#include <utility>

#include "base/clock.h"

class LookSpacing {
 public:
  LookSpacing(Clock now, time_t seconds)
      : now_(std::move(now)), seconds_(seconds) {}

  // The first look, at start-up: the spacing counts from here.
  void start() {
    started_ = true;
    lastLook_ = now_();
  }
  bool started() const { return started_; }
  // Started, and the last look is at least the spacing old.
  bool due() const { return started_ && now_() - lastLook_ >= seconds_; }
  // A look now: the spacing counts from here.
  void looked() { lastLook_ = now_(); }

 private:
  Clock now_;
  time_t seconds_;
  bool started_ = false;
  time_t lastLook_ = 0;
};

#endif  // CELLCHECK_CONSOLE_LOOK_SPACING_H_
