// Work that runs between two tests, never inside one: the console's watches
// (machine checks, ECC counts, the bad-memory summary) and an unattended
// run's events and limit. The schedule takes one step between tests, which
// runs all of it in one fixed order (app/between_tests.h).
#ifndef CELLCHECK_BASE_BETWEEN_TESTS_WORK_H_
#define CELLCHECK_BASE_BETWEEN_TESTS_WORK_H_

class BetweenTestsWork {
 public:
  virtual ~BetweenTestsWork() = default;
  // Between two tests. False ends the run here: only an unattended run's
  // limit ever answers so, and never before full testing begins.
  virtual bool betweenTests() = 0;
  // The notice that full testing begins has just been printed.
  virtual void fullTestingBegins() {}
  // Once more before the verdict, whatever spacing betweenTests keeps, so
  // that nothing found in the last seconds is missing from it.
  virtual void lastLook() { betweenTests(); }
};

#endif  // CELLCHECK_BASE_BETWEEN_TESTS_WORK_H_
