// The console front-end of the tester: prints the errors reported by word
// index, counts them, and shows status lines. Mismatches reported by address
// (the repeating-pattern test, the pre-test included) are neither printed nor
// counted.
#ifndef CELLCHECK_CONSOLE_CELLCHECKER_DOS_H_
#define CELLCHECK_CONSOLE_CELLCHECKER_DOS_H_

#include "tester/cellchecker.h"

class CellcheckerDos : public Cellchecker {
 public:
  using Cellchecker::report;

  void report(u64 index) override;
  void report(u64 indexA, u64 indexB) override;
  ~CellcheckerDos() override;
  void statusMessage(const char* text) override;
  // Counts one error and prints its number with the coverage so far.
  virtual void notifyError();
  // The engine's log hook: the console shows no log (a char* binds here too).
  void logOut(const char* text) override;
};

#endif  // CELLCHECK_CONSOLE_CELLCHECKER_DOS_H_
