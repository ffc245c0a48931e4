// Stuck-at bits for tests: a word of real memory whose bit stays at 1 (or 0)
// whatever is written to it, as a worn or shorted cell behaves. A hardware
// write watchpoint on the word traps after every store that touches it (the
// tests' wide copies included), and the trap forces the bit back. No code
// under test knows about it.
#ifndef CELLCHECK_TESTS_SUPPORT_STUCK_BITS_H_
#define CELLCHECK_TESTS_SUPPORT_STUCK_BITS_H_

#include <cstdint>

// Up to four at once (the CPU has four debug registers). Each one is removed
// when it goes out of scope. The bit is forced at once, and after every write.
class StuckBit {
 public:
  // True when this machine lets a process watch its own memory; tests skip
  // themselves where it does not.
  static bool available();

  StuckBit(uint32_t* word, int bit, bool stuckAt);
  ~StuckBit();
  StuckBit(const StuckBit&) = delete;
  StuckBit& operator=(const StuckBit&) = delete;

  // Stores to the word since the fault was made, as the watchpoint counted
  // them.
  int writes() const;

 private:
  int slot_;
};

#endif  // CELLCHECK_TESTS_SUPPORT_STUCK_BITS_H_
