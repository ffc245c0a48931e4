// What the console front-end adds to each error: one line with the two
// words' physical addresses and the bits that differ, the pair recorded in
// the run's bad-memory record, and the record's summary on the console: at
// each of the program's summary lines, and whenever the suspect memory has
// grown, at most once a minute (a change held back is shown at the first
// chance after its minute ends: the next error, the step between tests, or
// a progress line's summary).
#ifndef CELLCHECK_CONSOLE_BAD_MEMORY_WATCH_H_
#define CELLCHECK_CONSOLE_BAD_MEMORY_WATCH_H_

#include <cstddef>

#include "badmem/bad_memory.h"
#include "badmem/physical_addresses.h"
#include "base/between_tests_work.h"
#include "base/clock.h"

// The line after an error's two lines, for words at physical addresses
// addressA (bank A) and addressB (bank B), either kUnknownAddress, whose
// values differ in the bits of `differing`. No line break.
void formatErrorDetails(char* out, size_t size, u64 addressA, u64 addressB,
                        u32 differing);

// The line after a one-word error's two lines: the word's physical address
// (kUnknownAddress when not known) and the bits that differ. No line break.
void formatWordDetails(char* out, size_t size, bool inBankB, u64 address,
                       u32 differing);

class BadMemoryWatch : public BetweenTestsWork {
 public:
  // The summary is shown again for a change no sooner than this after the
  // last time.
  static constexpr time_t kSecondsBetweenSummaries = 60;

  BadMemoryWatch(BadMemory& record, PhysicalAddresses& addresses, Clock now);

  // An error named word indexA of bank A (at wordA) and word indexB of bank
  // B (at wordB): prints the details line, records the pair, and shows the
  // summary when it is due.
  void wordPair(u64 indexA, const u32* wordA, u64 indexB, const u32* wordB);
  // An error named word `index` of bank A (of bank B when inBankB), at
  // `word`, which read `read` where `expected` was written: prints the
  // details line, records that word alone, and shows the summary when it is
  // due.
  void word(u64 index, bool inBankB, const u32* word, u32 read, u32 expected);
  // A pre-test mismatch: counted, not shown.
  void pretestMismatch() { record_.countPretestMismatch(); }
  // Shows the summary if the suspect memory grew since it was last shown
  // and the last showing is a minute old.
  void poll();
  // Shows the summary now.
  void printSummary();

  bool betweenTests() override {
    poll();
    return true;
  }
  // Before a verdict: nothing; the verdict shows the summary itself.
  void lastLook() override {}

  const BadMemory& record() const { return record_; }

 private:
  BadMemory& record_;
  PhysicalAddresses& addresses_;
  Clock now_;
  bool shown_ = false;
  time_t shownAt_ = 0;
  u64 shownGrowth_ = 0;
};

#endif  // CELLCHECK_CONSOLE_BAD_MEMORY_WATCH_H_
