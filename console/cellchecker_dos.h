// The console front-end of the tester: prints the errors reported by word
// index, counts them, and shows status lines. After an error's two lines a
// third gives the words' physical addresses and the bits that differ (see
// BadMemoryWatch). A word that read back other than what was written to it
// is named alone, with both values. Mismatches reported by address (the
// repeating-pattern test, the pre-test included) are neither printed nor
// counted as errors; the bad-memory record counts them.
#ifndef CELLCHECK_CONSOLE_CELLCHECKER_DOS_H_
#define CELLCHECK_CONSOLE_CELLCHECKER_DOS_H_

#include <functional>
#include <utility>

#include "console/bad_memory_watch.h"
#include "tester/cellchecker.h"

class CellcheckerDos : public Cellchecker {
 public:
  using Cellchecker::report;

  void report(u64 index) override;
  void report(u64 indexA, u64 indexB) override;
  void report(u32* a, u32* b) override;
  void reportWord(u64 index, bool inBankB, u32 read, u32 expected) override;
  ~CellcheckerDos() override;
  void statusMessage(const char* text) override;
  // Counts one error and prints its number with the coverage so far.
  virtual void notifyError();
  // Counts `count` errors at once (machine checks that came too fast for
  // their details to be kept) and prints the number reached, in one line.
  void notifyErrors(u32 count);
  // The engine's log hook: the console shows no log (a char* binds here too).
  void logOut(const char* text) override;

  // Where errors are located and recorded from now on. Without a watch the
  // third line of an error says the physical addresses are unknown, and
  // nothing is recorded.
  void watchBadMemory(BadMemoryWatch* watch) { watch_ = watch; }
  // Runs before each error of the tests is printed, to put first what was
  // found outside them and not yet shown (a machine check caught during the
  // test): the error may follow from it.
  void showFirst(std::function<void()> pending) {
    pending_ = std::move(pending);
  }

 private:
  void printDetails(u64 indexA, u64 indexB);

  BadMemoryWatch* watch_ = nullptr;
  std::function<void()> pending_;
};

#endif  // CELLCHECK_CONSOLE_CELLCHECKER_DOS_H_
