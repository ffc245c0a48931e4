// What an unattended run asks of the schedule: to be told when full testing
// begins, and to be asked between tests whether to go on. Between tests is
// the only place where the run may look at the clock, send events or end:
// never inside a test's loop.
#ifndef CELLCHECK_APP_RUN_CONTROL_H_
#define CELLCHECK_APP_RUN_CONTROL_H_

class RunControl {
 public:
  virtual ~RunControl() = default;
  // The notice that full testing begins has just been printed.
  virtual void fullTestingBegins() = 0;
  // Before each test of the endless part; false ends the run there.
  virtual bool betweenTests() = 0;
};

#endif  // CELLCHECK_APP_RUN_CONTROL_H_
